// Adler-32 throughput of the 32-bit Windows build, for running under Wine: zlib, the scalar
// loop, every vector path this processor runs and the dispatched entry point, over 10 MiB and
// 256 MiB. Prints one line per measurement, "<name> <bytes> <bytes per second>", after a line
// "dispatched <path>". Built by bench/run_benchmarks.sh with the launcher's own compiler flags
// and its payload library.
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "setup_payload/adler32.h"

namespace {

double seconds_now() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::uint32_t zlib_adler32(std::uint32_t value, const void* data, std::uint64_t length) {
    return static_cast<std::uint32_t>(
        ::adler32_z(value, static_cast<const Bytef*>(data), static_cast<z_size_t>(length)));
}

volatile std::uint32_t sink;

// The median rate of five rounds, each passing over the buffer until a tenth of a second has
// gone by, after one pass to warm up.
double bytes_per_second(Adler32Function function, const std::uint8_t* data, std::size_t size) {
    sink = function(adler32_initial, data, size);
    double rates[5];
    for (double& rate : rates) {
        std::uint64_t passes = 0;
        const double start = seconds_now();
        double elapsed = 0;
        do {
            sink = function(adler32_initial, data, size);
            ++passes;
            elapsed = seconds_now() - start;
        } while (elapsed < 0.1);
        rate = static_cast<double>(passes) * static_cast<double>(size) / elapsed;
    }
    std::sort(std::begin(rates), std::end(rates));
    return rates[2];
}

}  // namespace

int main() {
    constexpr std::size_t sizes[] = {10u << 20, 256u << 20};
    auto* data = static_cast<std::uint8_t*>(std::malloc(sizes[1]));
    if (data == nullptr) {
        std::fprintf(stderr, "no memory for the buffer\n");
        return 1;
    }
    std::uint32_t state = 0x9E3779B9u;
    for (std::size_t at = 0; at < sizes[1]; at += 4) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        std::memcpy(data + at, &state, 4);
    }

    const auto paths = adler32_paths();
    std::printf("dispatched %s\n", paths.front().name);
    for (const std::size_t size : sizes) {
        std::printf("zlib %u %.0f\n", static_cast<unsigned>(size),
                    bytes_per_second(zlib_adler32, data, size));
        std::printf("dispatched %u %.0f\n", static_cast<unsigned>(size),
                    bytes_per_second(adler32, data, size));
        for (const Adler32Path& path : paths) {
            std::printf("%s %u %.0f\n", path.name, static_cast<unsigned>(size),
                        bytes_per_second(path.function, data, size));
        }
        std::fflush(stdout);
    }
    std::free(data);
    return 0;
}

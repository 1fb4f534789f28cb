// Adler-32 throughput: zlib, the scalar loop, every vector path this processor runs and the
// dispatched entry point the launcher calls, over one extraction chunk (10 MiB, hot in the
// cache after the first pass) and over 256 MiB (streamed from memory). Each figure is the
// median of five repetitions.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "setup_payload/adler32.h"

namespace {

constexpr std::int64_t chunk_size = 10 << 20;
constexpr std::int64_t large_size = 256 << 20;

const std::vector<std::uint8_t>& random_buffer(std::int64_t size) {
    static std::map<std::int64_t, std::vector<std::uint8_t>> buffers;
    auto& bytes = buffers[size];
    if (bytes.empty()) {
        bytes.resize(static_cast<std::size_t>(size));
        std::mt19937 random(static_cast<std::uint32_t>(size));
        for (std::size_t at = 0; at < bytes.size(); at += 4) {
            const std::uint32_t word = random();
            std::memcpy(bytes.data() + at, &word, 4);
        }
    }
    return bytes;
}

std::uint32_t zlib_adler32(std::uint32_t value, const void* data, std::uint64_t length) {
    return static_cast<std::uint32_t>(
        adler32_z(value, static_cast<const Bytef*>(data), static_cast<z_size_t>(length)));
}

void checksum(benchmark::State& state, Adler32Function function) {
    const auto& bytes = random_buffer(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(function(adler32_initial, bytes.data(), bytes.size()));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void register_checksum(const std::string& name, Adler32Function function) {
    benchmark::RegisterBenchmark(("adler32/" + name).c_str(), checksum, function)
        ->Arg(chunk_size)
        ->Arg(large_size)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.2)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
}

}  // namespace

int main(int argc, char** argv) {
    register_checksum("zlib", zlib_adler32);
    register_checksum("dispatched", adler32);
    for (const Adler32Path& path : adler32_paths())
        register_checksum(path.name, path.function);

    benchmark::AddCustomContext("adler32_dispatched_path", adler32_paths().front().name);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}

// The Adler-32 paths as the 32-bit launcher runs them: every vector path this processor supports,
// and the dispatcher, against the scalar loop. A console program for Wine; prints the paths it
// found and the one the launcher would run, and exits with 1 on the first mismatch.
//
// The data always ends on an inaccessible page, so that a vector load reaching past the end
// of a buffer faults instead of passing unnoticed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "setup_payload/adler32.h"

namespace {

constexpr std::size_t most_bytes = 64u << 20;
constexpr std::size_t page_size = 4096;

struct Random {
    std::uint32_t state = 0x9E3779B9u;
    std::uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

// A readable and writable region whose last byte is followed by a page that can't be touched.
struct GuardedBuffer {
    std::uint8_t* end = nullptr;

    GuardedBuffer() {
        const std::size_t usable = (most_bytes + page_size - 1) / page_size * page_size;
        auto* base = static_cast<std::uint8_t*>(
            VirtualAlloc(nullptr, usable + page_size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old_protection = 0;
        if (base == nullptr ||
            !VirtualProtect(base + usable, page_size, PAGE_NOACCESS, &old_protection)) {
            std::fprintf(stderr, "no memory for the test buffer\n");
            std::exit(2);
        }
        end = base + usable;
    }
    // `length` bytes that end where the buffer ends.
    std::uint8_t* last(std::size_t length) const { return end - length; }
};

struct Checker {
    unsigned failures = 0;
    unsigned checks = 0;

    void expect(const Adler32Path& path, std::uint32_t value, const std::uint8_t* data,
                std::size_t length) {
        ++checks;
        const std::uint32_t expected = adler32_scalar(value, data, length);
        const std::uint32_t got = path.function(value, data, length);
        if (got != expected) {
            ++failures;
            if (failures <= 10) {
                std::printf("MISMATCH %s: length %u, start %08X: %08X, scalar %08X\n", path.name,
                            static_cast<unsigned>(length), static_cast<unsigned>(value),
                            static_cast<unsigned>(got), static_cast<unsigned>(expected));
            }
        }
    }
};

std::uint32_t running_value(Random& random) {
    return (random.next() % 65521) << 16 | (random.next() % 65521);
}

void fill(std::uint8_t* data, std::size_t length, Random& random) {
    for (std::size_t at = 0; at < length; at += 4) {
        const std::uint32_t word = random.next();
        std::memcpy(data + at, &word, length - at < 4 ? length - at : 4);
    }
}

// The launcher asks the processor itself which paths it runs; the compiler's detection must find
// the same ones, counted from the slowest up.
bool paths_match_compiler_detection(std::span<const Adler32Path> paths) {
    __builtin_cpu_init();
    const bool detected[] = {__builtin_cpu_supports("sse2") != 0,
                             __builtin_cpu_supports("ssse3") != 0,
                             __builtin_cpu_supports("avx2") != 0};
    std::size_t expected = 1;  // the scalar loop
    for (const bool supported : detected) {
        if (!supported)
            break;
        ++expected;
    }
    if (paths.size() == expected)
        return true;
    std::printf("MISMATCH: %u paths offered, the compiler's detection finds %u\n",
                static_cast<unsigned>(paths.size()), static_cast<unsigned>(expected));
    return false;
}

}  // namespace

int main() {
    const auto paths = adler32_paths();
    std::printf("paths:");
    for (const Adler32Path& path : paths)
        std::printf(" %s", path.name);
    std::printf("; dispatched: %s\n", paths.front().name);
    if (!paths_match_compiler_detection(paths))
        return 1;

    // The scalar loop itself, on a value every implementation agrees on.
    const char* text = "Wikipedia";
    if (adler32(adler32_initial, text, std::strlen(text)) != 0x11E60398u) {
        std::printf("MISMATCH: Adler-32 of \"%s\" is not 11E60398\n", text);
        return 1;
    }

    GuardedBuffer buffer;
    Random random;
    fill(buffer.last(most_bytes), most_bytes, random);

    Checker checker;
    Adler32Path checked[8];
    std::size_t count = 0;
    checked[count++] = Adler32Path{"dispatched", adler32};
    for (const Adler32Path& path : paths) {
        if (count < std::size(checked))
            checked[count++] = path;
    }

    for (std::size_t i = 0; i < count; ++i) {
        const Adler32Path& path = checked[i];
        // Every length up to 1100 at every alignment: the vector blocks and the scalar tail.
        for (std::size_t offset = 0; offset < 4; ++offset) {
            for (std::size_t length = 0; length <= 1100; ++length) {
                const std::uint8_t* data = buffer.last(length + offset);
                checker.expect(path, adler32_initial, data, length);
                checker.expect(path, running_value(random), data, length);
            }
        }
        // Random lengths up to 64 MiB with random running values.
        for (int round = 0; round < 6; ++round) {
            const std::size_t length = random.next() % (most_bytes + 1);
            checker.expect(path, running_value(random), buffer.last(length), length);
        }
    }

    // All 0xFF with both sums at 65520: the largest sums any run can reach.
    std::memset(buffer.last(most_bytes), 0xFF, most_bytes);
    const std::uint32_t highest = 65520u << 16 | 65520u;
    for (std::size_t i = 0; i < count; ++i) {
        for (const std::size_t length :
             {std::size_t{63}, std::size_t{64}, std::size_t{5504}, std::size_t{5536},
              std::size_t{5552}, std::size_t{5553}, std::size_t{5568}, std::size_t{16719},
              std::size_t{10485760}, most_bytes}) {
            checker.expect(checked[i], highest, buffer.last(length), length);
            checker.expect(checked[i], adler32_initial, buffer.last(length), length);
        }
    }

    std::printf("%u checks, %u mismatches\n", checker.checks, checker.failures);
    return checker.failures == 0 ? 0 : 1;
}

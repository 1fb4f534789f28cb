#include "adler32.h"

namespace {

constexpr std::uint32_t adler_modulus = 65521;

// Bytes that may be summed before the two sums must be reduced: the most for which b cannot wrap
// even when both sums start at modulus - 1 and every byte is 0xFF.
constexpr std::uint32_t reduction_run = 5552;

constexpr std::uint64_t largest_b_after(std::uint64_t bytes) {
    return 255 * bytes * (bytes + 1) / 2 + (bytes + 1) * (adler_modulus - 1);
}
static_assert(largest_b_after(reduction_run) <= 0xFFFFFFFFu);
static_assert(largest_b_after(reduction_run + 1) > 0xFFFFFFFFu);

// The vector paths, then the scalar loop.
struct PathList {
    Adler32Path entries[8];
    std::size_t count = 0;
};

PathList collect_paths() {
    PathList list;
    for (const Adler32Path& path : adler32_vector_paths()) {
        if (list.count + 1 < std::size(list.entries)) list.entries[list.count++] = path;
    }
    list.entries[list.count++] = Adler32Path{"scalar", adler32_scalar};
    return list;
}

}  // namespace

std::uint32_t adler32_scalar(std::uint32_t value, const void* data, std::uint64_t length) {
    std::uint32_t a = value & 0xFFFF;
    std::uint32_t b = value >> 16;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        std::uint32_t run =
            length < reduction_run ? static_cast<std::uint32_t>(length) : reduction_run;
        length -= run;
        for (; run >= 16; run -= 16, bytes += 16) {
            for (int i = 0; i < 16; ++i) {
                a += bytes[i];
                b += a;
            }
        }
        for (; run > 0; --run) {
            a += *bytes++;
            b += a;
        }
        a %= adler_modulus;
        b %= adler_modulus;
    }
    return (b << 16) | a;
}

std::span<const Adler32Path> adler32_paths() {
    static const PathList paths = collect_paths();
    return {paths.entries, paths.count};
}

std::uint32_t adler32(std::uint32_t value, const void* data, std::uint64_t length) {
    // Chosen once: the processor does not change while the process runs.
    static const Adler32Function fastest = adler32_paths().front().function;
    return fastest(value, data, length);
}

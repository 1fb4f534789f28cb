#include "setup_payload/adler32.h"

#include <atomic>

namespace {

// The largest b after summing `bytes` bytes of 0xFF from sums of modulus - 1.
constexpr std::uint64_t largest_b_after(std::uint64_t bytes) {
    return 255 * bytes * (bytes + 1) / 2 + (bytes + 1) * (adler32_modulus - 1);
}
static_assert(largest_b_after(adler32_reduction_run) <= 0xFFFFFFFFu);
static_assert(largest_b_after(adler32_reduction_run + 1) > 0xFFFFFFFFu);

}  // namespace

std::uint32_t adler32_scalar(std::uint32_t value, const void* data, std::uint64_t length) {
    std::uint32_t a = value & 0xFFFF;
    std::uint32_t b = value >> 16;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        std::uint32_t run = length < adler32_reduction_run ? static_cast<std::uint32_t>(length)
                                                           : adler32_reduction_run;
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
        a %= adler32_modulus;
        b %= adler32_modulus;
    }
    return (b << 16) | a;
}

std::uint32_t adler32(std::uint32_t value, const void* data, std::uint64_t length) {
    // Chosen on first use: the processor does not change while the process runs. Threads that
    // meet here first all store the same function; the pointer needs no guarded initialisation.
    static std::atomic<Adler32Function> fastest{nullptr};
    Adler32Function function = fastest.load(std::memory_order_relaxed);
    if (function == nullptr) {
        function = adler32_paths().front().function;
        fastest.store(function, std::memory_order_relaxed);
    }
    return function(value, data, length);
}

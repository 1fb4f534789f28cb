// Adler-32 as the zlib format defines it: two sums modulo 65521, the running value starting at 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::uint32_t adler32_initial = 1;
// Both sums are kept modulo this prime.
inline constexpr std::uint32_t adler32_modulus = 65521;
// Bytes that may be summed before the two sums must be reduced: the most for which b cannot wrap
// in 32 bits even when both sums start at modulus - 1 and every byte is 0xFF (checked in
// adler32.cpp). Every path reduces at least this often.
inline constexpr std::uint32_t adler32_reduction_run = 5552;

// Updates `value` (a running Adler-32, as returned before) by the Adler-32 of `length` bytes at
// `data`. Both sums are reduced once per run of at most adler32_reduction_run bytes. Runs the
// fastest path this processor supports; every path gives the same result.
std::uint32_t adler32(std::uint32_t value, const void* data, std::uint64_t length);

// The byte-by-byte loop, the reference for the vector paths and their fallback.
std::uint32_t adler32_scalar(std::uint32_t value, const void* data, std::uint64_t length);

using Adler32Function = std::uint32_t (*)(std::uint32_t value, const void* data,
                                          std::uint64_t length);

struct Adler32Path {
    const char* name;
    Adler32Function function;
};

// The paths this processor can run, fastest first: the vector paths, none on other processor
// families, then the scalar loop. The first is the one `adler32` runs. Defined beside the
// vector code (adler32_x86.cpp).
std::span<const Adler32Path> adler32_paths();

// Adler-32 as the zlib format defines it: two sums modulo 65521, the running value starting at 1.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t adler32_initial = 1;

// Updates `value` by the Adler-32 of `length` bytes at `data`.
std::uint32_t adler32(std::uint32_t value, const void* data, std::uint64_t length);

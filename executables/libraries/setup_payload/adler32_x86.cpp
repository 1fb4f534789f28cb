// The vector paths of Adler-32 for x86 processors. Each is compiled for its own instruction set
// and chosen at run time, so that one executable still runs on any x86 processor.
//
// A path takes the bytes in blocks. Per block, the byte sums (_mm_sad_epu8) go to a, the bytes
// weighted by their distance from the block's end (taps from the block's length down to 1) go
// to b, and a as it stood before the block is summed in `prefix`: b gains it once for every
// byte of the block. The sums stay in vector lanes over a run of whole blocks no longer than
// the scalar loop's reduction run, so no lane can wrap; after the run the lanes are added up
// and both sums reduced once. Bytes after the last whole block go to the scalar loop.
#include "setup_payload/adler32.h"

#if defined(__i386__) || defined(__x86_64__)

#include <cpuid.h>
#include <immintrin.h>
#include <iterator>

// 32-bit Windows aligns the stack to 4 bytes only, and GCC would spill a vector with an aligned
// store. On 32-bit targets each path realigns its own frame.
#if defined(__i386__)
#define ADLER32_REALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define ADLER32_REALIGN_STACK
#endif

namespace {

constexpr std::size_t run_blocks(std::size_t remaining_blocks, std::size_t block_size) {
    const std::size_t most = adler32_reduction_run / block_size;
    return remaining_blocks < most ? remaining_blocks : most;
}

// ---------------------------------------------------------------------------- SSE2 and SSSE3

__attribute__((target("sse2"))) inline std::uint32_t sum_lanes(__m128i lanes) {
    lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(1, 0, 3, 2)));
    lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(lanes));
}

// Blocks of 16 bytes. Without SSSE3 there is no byte-by-byte multiply, so the run keeps the
// column sums of each byte position in 16-bit lanes and weights them once at its end with
// _mm_madd_epi16. A run of at most 128 blocks keeps every column sum (at most 128 x 255) within
// the signed 16 bits that _mm_madd_epi16 reads. Seven live vectors fit the eight registers of
// a 32-bit build.
ADLER32_REALIGN_STACK __attribute__((target("sse2"))) std::uint32_t adler32_sse2(
    std::uint32_t value, const void* data, std::uint64_t length) {
    constexpr std::size_t block = 16;
    constexpr std::size_t most_blocks = 128;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t a = value & 0xFFFF;
    std::uint32_t b = value >> 16;
    auto remaining = static_cast<std::size_t>(length);
    const __m128i zero = _mm_setzero_si128();
    while (remaining >= block) {
        std::size_t blocks = remaining / block < most_blocks ? remaining / block : most_blocks;
        remaining -= blocks * block;
        __m128i sum_a = _mm_cvtsi32_si128(static_cast<int>(a));
        __m128i prefix = zero;
        __m128i columns_low = zero;
        __m128i columns_high = zero;
        do {
            const __m128i bytes_16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
            prefix = _mm_add_epi32(prefix, sum_a);
            sum_a = _mm_add_epi32(sum_a, _mm_sad_epu8(bytes_16, zero));
            columns_low = _mm_add_epi16(columns_low, _mm_unpacklo_epi8(bytes_16, zero));
            columns_high = _mm_add_epi16(columns_high, _mm_unpackhi_epi8(bytes_16, zero));
            bytes += block;
        } while (--blocks > 0);
        const __m128i weighted = _mm_add_epi32(
            _mm_madd_epi16(columns_low, _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9)),
            _mm_madd_epi16(columns_high, _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1)));
        const __m128i sum_b = _mm_add_epi32(_mm_cvtsi32_si128(static_cast<int>(b)),
                                            _mm_add_epi32(weighted, _mm_slli_epi32(prefix, 4)));
        a = sum_lanes(sum_a) % adler32_modulus;
        b = sum_lanes(sum_b) % adler32_modulus;
    }
    return adler32_scalar((b << 16) | a, bytes, remaining);
}

// Blocks of 32 bytes, weighted byte by byte with _mm_maddubs_epi16; the pairs' sums (at most
// 255 x (32 + 31)) fit in its signed 16-bit results without saturating.
ADLER32_REALIGN_STACK __attribute__((target("ssse3"))) std::uint32_t adler32_ssse3(
    std::uint32_t value, const void* data, std::uint64_t length) {
    constexpr std::size_t block = 32;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t a = value & 0xFFFF;
    std::uint32_t b = value >> 16;
    // The bytes are in memory, so their count fits in a size_t; 64-bit counting would take
    // registers that a 32-bit build needs for the vectors.
    auto remaining = static_cast<std::size_t>(length);
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i taps_first =
        _mm_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17);
    const __m128i taps_second =
        _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    while (remaining >= block) {
        std::size_t blocks = run_blocks(remaining / block, block);
        remaining -= blocks * block;
        __m128i sum_a = _mm_cvtsi32_si128(static_cast<int>(a));
        __m128i sum_b = _mm_cvtsi32_si128(static_cast<int>(b));
        __m128i prefix = zero;
        do {
            const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
            const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16));
            prefix = _mm_add_epi32(prefix, sum_a);
            sum_a = _mm_add_epi32(
                sum_a, _mm_add_epi32(_mm_sad_epu8(first, zero), _mm_sad_epu8(second, zero)));
            sum_b = _mm_add_epi32(
                sum_b, _mm_add_epi32(_mm_madd_epi16(_mm_maddubs_epi16(first, taps_first), ones),
                                     _mm_madd_epi16(_mm_maddubs_epi16(second, taps_second), ones)));
            bytes += block;
        } while (--blocks > 0);
        sum_b = _mm_add_epi32(sum_b, _mm_slli_epi32(prefix, 5));
        a = sum_lanes(sum_a) % adler32_modulus;
        b = sum_lanes(sum_b) % adler32_modulus;
    }
    return adler32_scalar((b << 16) | a, bytes, remaining);
}

// ---------------------------------------------------------------------------- AVX2

__attribute__((target("avx2"))) inline std::uint32_t sum_lanes_avx2(__m256i lanes) {
    return sum_lanes(
        _mm_add_epi32(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1)));
}

// Blocks of 64 bytes in two vectors, taps 64 to 1; the pairs' sums (at most 255 x (64 + 63))
// still fit in _mm256_maddubs_epi16's signed 16-bit results.
ADLER32_REALIGN_STACK __attribute__((target("avx2"))) std::uint32_t adler32_avx2(
    std::uint32_t value, const void* data, std::uint64_t length) {
    constexpr std::size_t block = 64;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t a = value & 0xFFFF;
    std::uint32_t b = value >> 16;
    // The bytes are in memory, so their count fits in a size_t; 64-bit counting would take
    // registers that a 32-bit build needs for the vectors.
    auto remaining = static_cast<std::size_t>(length);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i taps_first =
        _mm256_setr_epi8(64, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46,
                         45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33);
    const __m256i taps_second =
        _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                         13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    while (remaining >= block) {
        std::size_t blocks = run_blocks(remaining / block, block);
        remaining -= blocks * block;
        __m256i sum_a = _mm256_setr_epi32(static_cast<int>(a), 0, 0, 0, 0, 0, 0, 0);
        __m256i sum_b = _mm256_setr_epi32(static_cast<int>(b), 0, 0, 0, 0, 0, 0, 0);
        __m256i prefix = zero;
        do {
            const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
            const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32));
            prefix = _mm256_add_epi32(prefix, sum_a);
            sum_a = _mm256_add_epi32(sum_a, _mm256_add_epi32(_mm256_sad_epu8(first, zero),
                                                             _mm256_sad_epu8(second, zero)));
            sum_b = _mm256_add_epi32(
                sum_b, _mm256_add_epi32(
                           _mm256_madd_epi16(_mm256_maddubs_epi16(first, taps_first), ones),
                           _mm256_madd_epi16(_mm256_maddubs_epi16(second, taps_second), ones)));
            bytes += block;
        } while (--blocks > 0);
        sum_b = _mm256_add_epi32(sum_b, _mm256_slli_epi32(prefix, 6));
        a = sum_lanes_avx2(sum_a) % adler32_modulus;
        b = sum_lanes_avx2(sum_b) % adler32_modulus;
    }
    return adler32_scalar((b << 16) | a, bytes, remaining);
}

// Fastest first. A path is offered only together with every path below it, so the paths
// offered are always a tail of this list.
constexpr Adler32Path all_paths[] = {
    {"avx2", adler32_avx2},
    {"ssse3", adler32_ssse3},
    {"sse2", adler32_sse2},
    {"scalar", adler32_scalar},
};

// The system's extended-state mask (XCR0); call only when CPUID reports OSXSAVE.
std::uint64_t read_xcr0() {
    unsigned low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
}

// How many vector paths the processor and the system support, asked of the processor itself:
// the compiler's own detection would bring several kilobytes of runtime code into the launcher
// for three bits. AVX2 also needs the system to save the YMM registers on a task switch (XCR0
// bits 1 and 2), or its instructions fault.
std::size_t vector_paths_supported() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    // False also on a 32-bit processor old enough to have no CPUID instruction.
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (edx & bit_SSE2) == 0)
        return 0;
    if ((ecx & bit_SSSE3) == 0)
        return 1;
    const bool saves_ymm = (ecx & bit_OSXSAVE) != 0 && (read_xcr0() & 0x6) == 0x6;
    unsigned leaf7_ebx = 0;
    const bool avx2 = saves_ymm && (ecx & bit_AVX) != 0 &&
                      __get_cpuid_count(7, 0, &eax, &leaf7_ebx, &ecx, &edx) &&
                      (leaf7_ebx & bit_AVX2) != 0;
    return avx2 ? 3 : 2;
}

}  // namespace

std::span<const Adler32Path> adler32_paths() {
    constexpr std::size_t vector_paths = std::size(all_paths) - 1;
    return std::span<const Adler32Path>(all_paths).subspan(vector_paths - vector_paths_supported());
}

#else

std::span<const Adler32Path> adler32_paths() {
    static constexpr Adler32Path scalar_only[] = {{"scalar", adler32_scalar}};
    return scalar_only;
}

#endif

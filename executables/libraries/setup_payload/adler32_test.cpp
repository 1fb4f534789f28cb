#include "setup_payload/adler32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// zlib's adler32 shares the name; the casts pick one of the two overloads.
constexpr auto dispatched =
    static_cast<std::uint32_t (*)(std::uint32_t, const void*, std::uint64_t)>(adler32);

std::uint32_t reference(std::uint32_t value, const std::uint8_t* data, std::size_t size) {
    // zlib answers 1 for a null buffer whatever the value; an empty vector may hold one.
    const Bytef none = 0;
    return static_cast<std::uint32_t>(static_cast<uLong (*)(uLong, const Bytef*, uInt)>(::adler32)(
        value, size == 0 ? &none : data, static_cast<uInt>(size)));
}

std::uint32_t reference(std::uint32_t value, const std::vector<std::uint8_t>& bytes) {
    return reference(value, bytes.data(), bytes.size());
}

// The launcher's entry point, then every path this processor runs, the scalar loop last.
std::vector<Adler32Path> every_path() {
    std::vector<Adler32Path> paths{{"dispatched", dispatched}};
    for (const Adler32Path& path : adler32_paths())
        paths.push_back(path);
    return paths;
}

std::vector<std::uint8_t> random_bytes(std::size_t size, std::mt19937& random) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t at = 0; at < size; at += 4) {
        const std::uint32_t word = random();
        std::memcpy(bytes.data() + at, &word, std::min<std::size_t>(4, size - at));
    }
    return bytes;
}

// A running value as a previous chunk leaves it: both sums below 65521.
std::uint32_t random_running_value(std::mt19937& random) {
    return (random() % 65521) << 16 | (random() % 65521);
}

TEST(Adler32, PathsEndWithTheScalarLoopAndTheDispatcherRunsTheFirst) {
    const auto paths = adler32_paths();
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(std::string(paths.back().name), "scalar");
    std::string names;
    for (const Adler32Path& path : paths)
        names += std::string(names.empty() ? "" : " ") + path.name;
    RecordProperty("paths", names);
#if defined(__x86_64__)
    // Every x86-64 processor has SSE2, so at least one vector path runs here.
    EXPECT_GE(paths.size(), 2u) << names;
#endif
}

#if defined(__i386__) || defined(__x86_64__)
// The launcher asks the processor itself; the compiler's detection must agree on this machine.
TEST(Adler32, OfferedVectorPathsAreTheOnesTheCompilersDetectionFinds) {
    __builtin_cpu_init();
    // Slowest first: a path counts only together with every path below it.
    const std::pair<const char*, bool> detected[] = {{"sse2", __builtin_cpu_supports("sse2")},
                                                     {"ssse3", __builtin_cpu_supports("ssse3")},
                                                     {"avx2", __builtin_cpu_supports("avx2")}};
    std::vector<std::string> expected{"scalar"};
    for (const auto& [name, supported] : detected) {
        if (!supported)
            break;
        expected.insert(expected.begin(), name);
    }
    std::vector<std::string> offered;
    for (const Adler32Path& path : adler32_paths())
        offered.push_back(path.name);
    EXPECT_EQ(offered, expected);
}
#endif

TEST(Adler32, EveryLengthUpTo1100AtEveryAlignmentMatchesZlib) {
    // Each buffer ends where its allocation ends, so that the sanitizer catches a vector load
    // reaching past the data.
    std::mt19937 random(1950);
    const auto source = random_bytes(1100 + 3, random);
    for (const Adler32Path& path : every_path()) {
        SCOPED_TRACE(path.name);
        for (std::size_t offset = 0; offset < 4; ++offset) {
            for (std::size_t length = 0; length <= 1100; ++length) {
                const std::vector<std::uint8_t> buffer(source.begin(),
                                                       source.begin() + offset + length);
                const std::uint8_t* data = buffer.data() + offset;
                const std::uint32_t start = random_running_value(random);
                ASSERT_EQ(path.function(adler32_initial, data, length),
                          reference(adler32_initial, data, length))
                    << "offset " << offset << ", length " << length;
                ASSERT_EQ(path.function(start, data, length), reference(start, data, length))
                    << "offset " << offset << ", length " << length << ", value " << start;
            }
        }
    }
}

TEST(Adler32, RandomLengthsUpTo64MiBWithRandomValuesMatchZlib) {
    std::mt19937 random(65521);
    const auto source = random_bytes(64 << 20, random);
    std::uniform_int_distribution<std::size_t> lengths(0, source.size());
    for (int round = 0; round < 4; ++round) {
        const std::size_t length = lengths(random);
        const std::uint8_t* data = source.data() + source.size() - length;
        const std::uint32_t start = random_running_value(random);
        const std::uint32_t expected = reference(start, data, length);
        for (const Adler32Path& path : every_path()) {
            EXPECT_EQ(path.function(start, data, length), expected)
                << path.name << ": length " << length << ", value " << start;
        }
    }
}

TEST(Adler32, AllOnesWithBothSumsAtTheirMaximumDoNotWrap) {
    // The worst case for the deferred reduction: b grows fastest with 0xFF bytes and sums that
    // start at 65520. The lengths straddle the runs of the scalar loop (5552) and of the vector
    // paths (5504 and 5536 bytes of whole blocks, then a tail).
    const std::uint32_t highest = 65520u << 16 | 65520u;
    for (const std::size_t length : {31, 32, 63, 64, 5503, 5504, 5535, 5536, 5551, 5552, 5553, 5567,
                                     5568, 3 * 5552 + 63, (1 << 20) + 13}) {
        const std::vector<std::uint8_t> bytes(length, 0xFF);
        for (const Adler32Path& path : every_path()) {
            for (const std::uint32_t start : {adler32_initial, highest}) {
                EXPECT_EQ(path.function(start, bytes.data(), length), reference(start, bytes))
                    << path.name << ": length " << length << ", value " << start;
            }
        }
    }
}

TEST(Adler32, ChunkedUpdatesEqualOneRunAndEmptyDataKeepsTheValue) {
    std::mt19937 random(7);
    const auto bytes = random_bytes(3 * 5552 + 77, random);
    for (const Adler32Path& path : every_path()) {
        std::uint32_t value = adler32_initial;
        for (std::size_t at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece * 3 + 1) {
            const std::size_t size = std::min(piece, bytes.size() - at);
            value = path.function(value, bytes.data() + at, size);
        }
        EXPECT_EQ(value, reference(adler32_initial, bytes)) << path.name;
        // An empty file's checksum is 1; nothing is read from the buffer.
        EXPECT_EQ(path.function(adler32_initial, nullptr, 0), 1u) << path.name;
        EXPECT_EQ(path.function(0x1234ABCD, nullptr, 0), 0x1234ABCDu) << path.name;
    }
}

}  // namespace

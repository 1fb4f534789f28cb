#include "setup_payload/text_encoding.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf8, RoundTripsAndReplacesBrokenSequences) {
    const std::u16string text = u"Fehler beim Öffnen \U0001F600 ß";
    EXPECT_EQ(from_utf8(to_utf8(text)), text);
    EXPECT_EQ(to_utf8(u"Ä"), "\xC3\x84");
    EXPECT_EQ(from_utf8("a\xC3"), u"a\uFFFD");
    EXPECT_EQ(from_utf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD") << "encoded surrogates are invalid";
    EXPECT_EQ(to_utf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(PathBytes, EveryByteSequenceSurvivesTheRoundTrip) {
    const std::string samples[] = {
        "/tmp/plain",
        "/tmp/\xC3\xA4\xF0\x9F\x98\x80",  // valid UTF-8 stays UTF-8
        "/tmp/\xFF\xFE",
        "/tmp/latin1_\xE4",  // bytes that start nothing
        "a\xC3",
        "\xE2\x82z",
        "\x80\xBF",  // cut short, lone continuations
        "\xC0\xAF",
        "\xED\xA0\x80",
        "\xF4\x90\x80\x80",  // overlong, surrogate, past U+10FFFF
    };
    for (const std::string& bytes : samples) {
        EXPECT_EQ(to_path_bytes(from_path_bytes(bytes)), bytes) << bytes;
    }
    // Each stray byte is one lone surrogate: the path keeps its length and its ASCII, and a
    // separator can never come out of one.
    EXPECT_EQ(from_path_bytes("/t\xFFp/\xC3"),
              (std::u16string{u'/', u't', 0xDCFF, u'p', u'/', 0xDCC3}));
    EXPECT_EQ(from_path_bytes("\xC3\xA4"), u"\u00E4");
    EXPECT_EQ(to_path_bytes(u"\u00E4"), "\xC3\xA4");
    // Lone surrogates that stand for no byte are written as U+FFFD, as for any other text.
    EXPECT_EQ(to_path_bytes(std::u16string{0xD800, u'x', 0xDC7F}), "\xEF\xBF\xBDx\xEF\xBF\xBD");
    EXPECT_EQ(to_utf8(from_path_bytes("a\xFF")), "a\xEF\xBF\xBD") << "shown, it reads U+FFFD";
}

TEST(Utf8, StrictDecodingRefusesWhatIsNotWellFormed) {
    EXPECT_EQ(from_utf8_strict("a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"),
              u"a\u00e4\u20ac\U0001F600");
    for (const char* bad : {"\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3",
                            "\xE2\x82", "\x80", "\xFF"}) {
        EXPECT_EQ(from_utf8_strict(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(to_utf8(u"a\u00e4\U0001F600"), "a\xC3\xA4\xF0\x9F\x98\x80");
    EXPECT_EQ(to_utf8(std::u16string{u'x', char16_t(0xD800), u'y'}), "x\xEF\xBF\xBDy");
}

}  // namespace

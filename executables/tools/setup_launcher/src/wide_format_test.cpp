#include "wide_format.h"

#include <gtest/gtest.h>

namespace {

TEST(FormatWide, PlaceholdersReadTheSameOnEveryPlatform) {
    EXPECT_EQ(format_wide(u"%s|%S|%d|%04X|%%|%u", u"wide ä", "narrow", -42, 0x1234u, 7u),
              u"wide ä|narrow|-42|1234|%|7");
    EXPECT_EQ(format_wide(u"0x%04X", 0x7u), u"0x0007");
    EXPECT_EQ(format_wide(u"0x%04X", 0x12345u), u"0x12345");
    EXPECT_EQ(format_wide(u"[%s]", static_cast<const char16_t*>(nullptr)), u"[(null)]");
    EXPECT_EQ(format_wide(u"%d %d", 0, -2147483647 - 1), u"0 -2147483648");
    // A narrow text is widened byte by byte, not decoded.
    EXPECT_EQ(format_wide(u"%S", "\xC3\xA4"), std::u16string({0xC3, 0xA4}));
    // Unknown placeholders stay as they are; arguments holding '%' are inserted literally.
    EXPECT_EQ(format_wide(u"%q %s %", u"100%s"), u"%q 100%s %");
}

TEST(FormatWide, GrowsAtTheFifteenSixteenBorder) {
    // 15 units fit the first 16-unit buffer; 16 units need the second one.
    EXPECT_EQ(format_wide(u"%s", u"123456789012345"), u"123456789012345");
    EXPECT_EQ(format_wide(u"%s", u"1234567890123456"), u"1234567890123456");
    const std::u16string long_text(1000, u'x');
    EXPECT_EQ(format_wide(u"<%s>", long_text.c_str()), u"<" + long_text + u">");
}

TEST(FormatWideToBuffer, CutsAfterCountMinusOneAndTerminates) {
    char16_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(format_wide_to_buffer(buffer, 8, u"%s", u"1234567"), 7);
    EXPECT_EQ(std::u16string(buffer), u"1234567");

    EXPECT_EQ(format_wide_to_buffer(buffer, 8, u"%s", u"12345678"), -1);
    EXPECT_EQ(std::u16string(buffer), u"1234567");

    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(format_wide_to_buffer(buffer, 4, u"0x%04X", 0xABCDu), -1);
    EXPECT_EQ(std::u16string(buffer), u"0xA");
    EXPECT_EQ(buffer[4], u'#') << "nothing is written past the count";

    EXPECT_EQ(format_wide_to_buffer(buffer, 1, u"abc"), -1);
    EXPECT_EQ(buffer[0], u'\0');
    EXPECT_EQ(format_wide_to_buffer(buffer, 0, u"abc"), -1);
}

}  // namespace

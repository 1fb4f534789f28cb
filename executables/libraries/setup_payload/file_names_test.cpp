#include "setup_payload/file_names.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cwctype>
#include <vector>

#include "setup_payload/payload_test_files.h"

namespace {

using namespace payload_test;

TEST(FileNameUpcase, MapsEachUnitToItsSimpleUppercase) {
    EXPECT_EQ(file_name_upcase(u'a'), u'A');
    EXPECT_EQ(file_name_upcase(u'z'), u'Z');
    EXPECT_EQ(file_name_upcase(u'A'), u'A');
    EXPECT_EQ(file_name_upcase(u'{'), u'{');
    EXPECT_EQ(file_name_upcase(u'\u00e4'), u'\u00c4');  // ä
    EXPECT_EQ(file_name_upcase(u'\u00ff'), u'\u0178');  // ÿ, whose uppercase lies far away
    EXPECT_EQ(file_name_upcase(u'\u0101'), u'\u0100');  // pairs that alternate
    EXPECT_EQ(file_name_upcase(u'\u0100'), u'\u0100');
    EXPECT_EQ(file_name_upcase(u'\u0131'), u'I');       // dotless i
    EXPECT_EQ(file_name_upcase(u'\u017f'), u'S');       // long s
    EXPECT_EQ(file_name_upcase(u'\u03c2'), u'\u03a3');  // final sigma
    EXPECT_EQ(file_name_upcase(u'\u0436'), u'\u0416');  // Cyrillic
    EXPECT_EQ(file_name_upcase(u'\uff41'), u'\uff21');  // fullwidth
    // Only simple mappings: sharp s has no one-unit uppercase, and surrogates stay.
    EXPECT_EQ(file_name_upcase(u'\u00df'), u'\u00df');
    EXPECT_EQ(file_name_upcase(char16_t{0xD801}), char16_t{0xD801});
}

TEST(FileNameUpcase, AgreesWithTheCLibraryOverTheWholeBmp) {
    // glibc's towupper is the simple uppercase mapping of the same Unicode version.
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr)
        GTEST_SKIP() << "no C.UTF-8 locale";
    std::size_t differences = 0;
    for (std::uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
        if (unit >= 0xD800 && unit <= 0xDFFF)
            continue;
        const auto expected = static_cast<std::uint32_t>(std::towupper(unit));
        if (file_name_upcase(static_cast<char16_t>(unit)) != expected && ++differences < 10)
            ADD_FAILURE() << std::hex << "U+" << unit << ": C library says U+" << expected;
    }
    EXPECT_EQ(differences, 0u);
    std::setlocale(LC_CTYPE, "C");
}

TEST(FileNameUpcase, NamesCompareAndKeyAsWindowsResolvesThem) {
    EXPECT_TRUE(same_file_name(u"\u00c4.txt", u"\u00e4.TXT"));
    EXPECT_TRUE(same_file_name(u"\u03a3\u03c3\u03c2", u"\u03c3\u03c2\u03a3"));
    EXPECT_FALSE(same_file_name(u"stra\u00dfe", u"STRASSE"));
    EXPECT_FALSE(same_file_name(u"a/b", u"a\\b")) << "separators are units like any other";
    EXPECT_EQ(file_name_key(u"Docs\\\u00e4//x.txt/"), u"DOCS/\u00c4/X.TXT");
    EXPECT_EQ(file_name_key(u"\\a"), u"A");
}

TEST(ExtractedNameSet, RefusesWhatWouldLandOnAnEarlierFileOrDirectory) {
    ExtractedNameSet names;
    EXPECT_EQ(names.add(u"a/b.txt"), NameClash::none);
    EXPECT_EQ(names.add(u"A"), NameClash::directory_in_the_way);
    EXPECT_EQ(names.add(u"a//B.txt/c"), NameClash::file_in_the_way);
    EXPECT_EQ(names.add(u"A\\\\B.TXT"), NameClash::same_name);
    EXPECT_EQ(names.add(u"a/c.txt"), NameClash::none);
    EXPECT_EQ(names.add(u"\u00c4rger.txt"), NameClash::none);
    EXPECT_EQ(names.add(u"\u00e4RGER.txt"), NameClash::same_name);
    EXPECT_EQ(names.add(u"stra\u00dfe"), NameClash::none);
    EXPECT_EQ(names.add(u"STRASSE"), NameClash::none);
}

TEST(FileNameParts, ComponentsAndTheStemThatWindowsTakesForADevice) {
    using Parts = std::vector<std::u16string_view>;
    EXPECT_EQ(split_name(u"a//b\\c/"), (Parts{u"a", u"", u"b", u"c", u""}));
    EXPECT_EQ(split_name(u"file"), (Parts{u"file"}));
    EXPECT_EQ(split_name(u""), (Parts{u""}));
    // Up to the first dot, trailing spaces dropped; nothing else of the component counts.
    EXPECT_EQ(device_name_stem(u"CON .txt"), u"CON");
    EXPECT_EQ(device_name_stem(u"nul  ..tar.gz"), u"nul");
    EXPECT_EQ(device_name_stem(u" lpt1"), u" lpt1");
    EXPECT_EQ(device_name_stem(u".hidden"), u"");
    EXPECT_EQ(device_name_stem(u"   "), u"");
}

// Many names below few directories, as a payload of many small files has them: every one is
// taken, and each again is refused, whatever its case.
TEST(ExtractedNameSet, TakesManyNamesOnceEach) {
    ExtractedNameSet names;
    const auto name = [](int i) {
        return u"d" + std::u16string(1, static_cast<char16_t>(u'a' + i % 7)) + u"/f" +
               std::u16string(1, static_cast<char16_t>(u'a' + i / 7 % 26)) +
               std::u16string(1, static_cast<char16_t>(u'a' + i / 182)) + u".bin";
    };
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(names.add(name(i)), NameClash::none) << i;
    for (int i = 0; i < 2000; i += 97) {
        std::u16string upper = name(i);
        for (char16_t& unit : upper)
            unit = file_name_upcase(unit);
        EXPECT_EQ(names.add(upper), NameClash::same_name) << i;
    }
    EXPECT_EQ(names.add(u"DA"), NameClash::directory_in_the_way);
    EXPECT_EQ(names.add(u"da/faa.bin/x"), NameClash::file_in_the_way);
}

TEST(RelativeName, RefusesWhatWindowsWouldNotCreateAsWritten) {
    for (const NameCase& c : refused_names) {
        const std::string shown = to_utf8(std::u16string(c.name));
        EXPECT_EQ(check_relative_name(c.name).problem, c.problem) << shown;
        EXPECT_FALSE(is_safe_relative_name(c.name)) << shown;
    }
    for (const std::u16string_view name :
         {u"update.msp", u"dir\\sub/file.txt", u"..a", u"a..b", u"...x", u"a b", u".hidden",
          u"console.txt", u"CON1", u"COM10", u"LPT", u"COM\u00b4", u"x.con", u"aux-x.txt", u" CON",
          u"n\u00e4me/\U0001F600.txt", u"a\u007f"}) {
        EXPECT_EQ(check_relative_name(name).problem, NameProblem::none)
            << to_utf8(std::u16string(name));
    }
}

TEST(RelativeName, PointsAtTheOffendingCharacterOrComponent) {
    const auto at = [](std::u16string_view name) {
        const NameCheck check = check_relative_name(name);
        return std::pair(check.position, check.length);
    };
    EXPECT_EQ(at(u"dir/sub/lpt2.txt"), std::pair(std::size_t{8}, std::size_t{8}));
    EXPECT_EQ(at(u"dir/x?y"), std::pair(std::size_t{5}, std::size_t{1}));
    EXPECT_EQ(at(u"a/b./c"), std::pair(std::size_t{2}, std::size_t{2}));
    EXPECT_EQ(at(u"a//b"), std::pair(std::size_t{2}, std::size_t{0}));
    // Characters are checked before components: the colon is named, not the device.
    EXPECT_EQ(check_relative_name(u"con:x").problem, NameProblem::colon);
}

TEST(FitsPathLimit, CountsTheFileAndEveryDirectoryWithTheirTerminators) {
    const std::u16string root = u"C:\\Temp\\VOQSETUP2\\";  // 18 units
    EXPECT_TRUE(fits_path_limit(root, std::u16string(241, u'f'))) << "259 units and the NUL";
    EXPECT_FALSE(fits_path_limit(root, std::u16string(242, u'f')));
    // Directories are created ending in their separator and may take 247 units.
    const std::u16string deepest = std::u16string(228, u'd') + u"\\f";
    EXPECT_TRUE(fits_path_limit(root, deepest));
    EXPECT_FALSE(fits_path_limit(root, u"d" + deepest));
    EXPECT_FALSE(fits_path_limit(root, std::u16string(229, u'd') + u"/f")) << "'/' as well";
    EXPECT_TRUE(fits_path_limit(root, u"a/" + std::u16string(238, u'f')));
    EXPECT_FALSE(fits_path_limit(std::u16string(259, u'r'), u"x")) << "the root alone";
}

}  // namespace

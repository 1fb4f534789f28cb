#include "string_table.h"

#include <gtest/gtest.h>

#include "launcher_test_hooks.h"
#include "test_support.h"

namespace {

std::vector<std::string> keys_in_order() {
    std::vector<std::string> keys;
    for (const BuiltInText& text : built_in_texts())
        keys.push_back(text.key);
    return keys;
}

TEST(StringTable, BothTablesHoldEveryKeyInTheGivenOrder) {
    const std::vector<std::string> expected = {"button_cancel",
                                               "button_ok",
                                               "error_close_process",
                                               "error_corrupt_header",
                                               "error_corrupt_file",
                                               "error_create_temp_dir",
                                               "error_execute",
                                               "error_file_exists",
                                               "error_file_without_name",
                                               "error_GetLastError",
                                               "error_internal",
                                               "error_locale_not_found",
                                               "error_msg_copy_help",
                                               "error_msg_errno",
                                               "error_msg_file_and_line",
                                               "error_msg_title",
                                               "error_no_temp_path",
                                               "error_opening",
                                               "error_opening_for_write",
                                               "error_reading",
                                               "error_reading_header",
                                               "error_reading_file",
                                               "error_reading_file_name",
                                               "error_reading_LCID",
                                               "error_reading_parameters",
                                               "error_reading_signature",
                                               "error_writing",
                                               "error_invalid_file_name"};
    EXPECT_EQ(keys_in_order(), expected);

    ScopedUiLanguage lang("en_US.UTF-8");
    refill_string_tables();
    for (std::uint16_t lcid : {lcid_german, lcid_english}) {
        ASSERT_TRUE(select_language(lcid));
        for (const std::string& key : expected) {
            EXPECT_EQ(current_string_table().count(key), 1u) << key << " in " << lcid;
        }
    }
}

TEST(StringTable, TextsAreExactCodeUnits) {
    ScopedUiLanguage lang("de_DE.UTF-8");
    refill_string_tables();
    const std::u16string temp_dir = get_text("error_create_temp_dir");
    ASSERT_EQ(temp_dir.size(), 55u);
    EXPECT_EQ(temp_dir[6], char16_t(0x00E4)) << "a-umlaut as one precomposed unit";
    EXPECT_EQ(get_text("error_opening"), u"Fehler beim \u00D6ffnen von '%s'");
    EXPECT_EQ(get_text("error_msg_file_and_line"), u"\n\n%S (zeile %d)");
    EXPECT_EQ(get_text("button_cancel"), u"Abbrechen");
    const std::u16string help = get_text("error_msg_copy_help");
    EXPECT_EQ(help.size(), 142u);

    ASSERT_TRUE(select_language(lcid_english));
    EXPECT_EQ(get_text("error_msg_copy_help").size(), 156u);
    EXPECT_EQ(get_text("error_opening"), u"Error opening '%s'.");
    EXPECT_EQ(get_text("error_GetLastError"), u"\nGetLastError==%d -> %s");
}

TEST(StringTable, InterfaceLanguagePicksTheTable) {
    const struct {
        const char* locale;
        const char16_t* title;
    } cases[] = {{"de_DE.UTF-8", u"Fehler"}, {"de_AT.UTF-8", u"Fehler"},
                 {"de_CH.UTF-8", u"Fehler"}, {"en_US.UTF-8", u"Error"},
                 {"en_GB.UTF-8", u"Error"},  {"fr_FR.UTF-8", u"Error"},
                 {"ja_JP.UTF-8", u"Error"},  {"C", u"Error"}};
    for (const auto& c : cases) {
        ScopedUiLanguage lang(c.locale);
        refill_string_tables();
        EXPECT_EQ(get_text("error_msg_title"), c.title) << c.locale;
    }
    ScopedUiLanguage lang("en_US.UTF-8");
    ScopedEnv messages("LC_MESSAGES", "de_AT.UTF-8");  // set after the language clears it
    refill_string_tables();
    EXPECT_EQ(get_text("error_msg_title"), u"Fehler") << "LC_MESSAGES wins over LANG";
}

TEST(StringTable, SelectLanguageNeedsAnExactTable) {
    ScopedUiLanguage lang("en_US.UTF-8");
    refill_string_tables();
    EXPECT_FALSE(select_language(0x0C07));
    EXPECT_EQ(get_text("button_cancel"), u"Cancel");
    EXPECT_TRUE(select_language(0x0407));
    EXPECT_EQ(get_text("button_cancel"), u"Abbrechen");
}

TEST(StringTable, MissingKeyYieldsEmptyTextAndIsAddedToTheCurrentTableOnly) {
    ScopedUiLanguage lang("en_US.UTF-8");
    refill_string_tables();
    EXPECT_EQ(current_string_table().count("no_such_key"), 0u);
    const std::u16string& first = get_text("no_such_key");
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(&get_text("no_such_key"), &first) << "the same text stays valid";
    EXPECT_TRUE(get_text("error_reading_lcid").empty()) << "keys are case-sensitive";
    ASSERT_TRUE(select_language(lcid_german));
    EXPECT_EQ(current_string_table().count("no_such_key"), 0u);
}

TEST(StringTable, DuplicateKeyReportsOldAndNewTextOnThreeLines) {
    ScopedUiLanguage lang("en_US.UTF-8");
    refill_string_tables();
    ThrowOnFatalError guard;
    try {
        add_text("error_internal", u"Something else");
        FAIL() << "a duplicate key must be fatal";
    } catch (const FatalErrorRaised& raised) {
        const std::u16string& message = raised.report.message;
        const std::u16string expected_start =
            u"string_table already contains key 'error_internal'.\n"
            u"old value: 'Internal error'\n"
            u"new value: 'Something else'\n\n"
            u"executables/tools/setup_launcher/src/string_table.cpp (line ";
        EXPECT_EQ(message.substr(0, expected_start.size()), expected_start);
        EXPECT_EQ(raised.report.title, u"Error");
    }
}

TEST(PickLanguage, ExactThenPrimaryThenFirst) {
    const std::vector<std::uint16_t> built_in = {0x0409, 0x0407};
    EXPECT_EQ(pick_language(0x0407, built_in), 0x0407);
    EXPECT_EQ(pick_language(0x0C07, built_in), 0x0407);
    EXPECT_EQ(pick_language(0x0807, built_in), 0x0407);
    EXPECT_EQ(pick_language(0x0809, built_in), 0x0409);
    EXPECT_EQ(pick_language(0x040C, built_in), 0x0409);
    EXPECT_EQ(pick_language(0x0411, built_in), 0x0409);
    EXPECT_EQ(pick_language(0x0409, {}), 0);
    // The exact entry wins wherever it stands; among primary matches the earlier one.
    EXPECT_EQ(pick_language(0x0809, {0x0409, 0x0C09, 0x0809}), 0x0809);
    EXPECT_EQ(pick_language(0x1009, {0x0407, 0x0809, 0x0409}), 0x0809);
    EXPECT_EQ(pick_language(0x040C, {0x0409, 0x0407}), 0x0409);
    // Primary languages compare by the low 10 bits: 0x0207 shares 9 bits with German, not 10.
    EXPECT_EQ(pick_language(0x0407, {0x0409, 0x0207}), 0x0409);
    EXPECT_EQ(pick_language(0x0E07, {0x0409, 0x0607}), 0x0607);
}

}  // namespace

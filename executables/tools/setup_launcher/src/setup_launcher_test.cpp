#include "setup_launcher.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "string_table.h"
#include "test_support.h"

namespace {

constexpr std::uint64_t chunk_10_mib = 10'485'760;

TEST(ProgressPosition, FollowsTheDoublePrecisionQuotientAndStaysInRange) {
    reset_progress_counters(20'971'520);
    EXPECT_EQ(add_progress_bytes(chunk_10_mib), 32768u);
    EXPECT_EQ(add_progress_bytes(chunk_10_mib), 65535u);

    reset_progress_counters(7'248'384);
    EXPECT_EQ(add_progress_bytes(7'248'384), 65535u);

    reset_progress_counters(131);
    EXPECT_EQ(add_progress_bytes(1), 501u);
    EXPECT_EQ(add_progress_bytes(0), 501u) << "a report of 0 bytes repeats the position";

    // The full count of 131 bytes comes out above the maximum before the limit.
    ASSERT_GT(std::ceil(131.0 / (131.0 / 65535.0)), 65535.0);
    EXPECT_EQ(progress_position(131, 131), 65535u);
    EXPECT_EQ(progress_position(200, 131), 65535u) << "more bytes than the total";
    EXPECT_EQ(progress_position(0, 131), 0u);

    // A total that the caller computed as negative arrives near 2^64.
    reset_progress_counters(std::uint64_t(-10));
    EXPECT_EQ(add_progress_bytes(chunk_10_mib), 1u);
}

TEST(ProgressWindow, ReportsTellWhetherTheWindowExistsAndCreationRestartsTheCounters) {
    close_progress_window();
    EXPECT_FALSE(report_progress(1)) << "no window";
    EXPECT_FALSE(report_progress(0)) << "still none";

    create_progress_window(131);
    EXPECT_TRUE(report_progress(1));
    create_progress_window(20'971'520);  // keeps the window
    EXPECT_TRUE(report_progress(0));
    // Counting on from the earlier byte would give 32769.
    EXPECT_EQ(add_progress_bytes(chunk_10_mib), 32768u);

    close_progress_window();
    EXPECT_FALSE(report_progress(chunk_10_mib));
}

class LanguageChoice : public ::testing::Test {
protected:
    void SetUp() override {
        refill_string_tables();
        reset_collected_lcids();
    }
    void TearDown() override { reset_collected_lcids(); }
    void collect(std::initializer_list<std::uint16_t> lcids) {
        for (std::uint16_t lcid : lcids)
            add_command_lcid(lcid);
    }
    // The dialog's preselection for an interface language.
    std::u16string preselected_name(std::uint16_t ui_language) {
        return language_display_name(pick_language(ui_language, collected_lcids()));
    }
    ScopedEnv lc_all{"LC_ALL", nullptr};
    ScopedEnv lc_messages{"LC_MESSAGES", nullptr};
    ScopedEnv lang{"LANG", "en_US.UTF-8"};
};

using Lcids = std::vector<std::uint16_t>;
using Names = std::vector<std::u16string>;

TEST_F(LanguageChoice, NewLanguagesGoInFrontAndRepeatsAreIgnored) {
    collect({0x0407, 0x0409, 0x0407, 0x0409});
    EXPECT_EQ(collected_lcids(), (Lcids{0x0409, 0x0407}));
    EXPECT_EQ(language_group_size(0x0409), 1u) << "a repeat is no second group member";
    EXPECT_EQ(language_display_names(), (Names{u"English", u"Deutsch"}));

    EXPECT_EQ(preselected_name(0x0407), u"Deutsch");
    EXPECT_EQ(preselected_name(0x0C07), u"Deutsch") << "same primary language";
    EXPECT_EQ(preselected_name(0x040C), u"English") << "the first collected, not the first sorted";
}

TEST_F(LanguageChoice, EveryLanguageOnceNewestFirstHoweverManyArrive) {
    // Every 16-bit value, twice over in a scattered order, with a look at the list in between:
    // the list must hold each language once, the one that came first for it last.
    Lcids first_arrivals;
    std::vector<bool> seen(0x10000);
    const auto newest_first = [&] { return Lcids(first_arrivals.rbegin(), first_arrivals.rend()); };
    for (std::uint32_t round = 0; round < 2; ++round) {
        for (std::uint32_t i = 0; i < 0x10000; ++i) {
            const auto lcid = static_cast<std::uint16_t>(i * 40503u + round * 7u);
            add_command_lcid(lcid);
            if (!seen[lcid]) {
                seen[lcid] = true;
                first_arrivals.push_back(lcid);
            }
            if (i == 1000)
                ASSERT_EQ(collected_lcids(), newest_first()) << "round " << round;
        }
    }
    EXPECT_EQ(collected_lcids().size(), 0x10000u);
    EXPECT_EQ(collected_lcids(), newest_first());
    EXPECT_EQ(language_group_size(0x0409), 128u) << "each of the 512 groups once per language";
}

TEST_F(LanguageChoice, LanguagesSharingAGroupShowTheirCountry) {
    collect({0x0409, 0x0809, 0x0407});
    EXPECT_EQ(collected_lcids(), (Lcids{0x0407, 0x0809, 0x0409}));
    EXPECT_EQ(language_group_size(0x0409), 2u);
    EXPECT_EQ(language_group_size(0x1009), 2u) << "counted by group, listed or not";
    EXPECT_EQ(language_display_names(),
              (Names{u"Deutsch", u"English (United Kingdom)", u"English (United States)"}));
    EXPECT_EQ(preselected_name(0x1009), u"English (United Kingdom)");
    EXPECT_EQ(preselected_name(0x0409), u"English (United States)");
}

TEST_F(LanguageChoice, GroupsCompareNineBitsNotTheTenOfThePrimaryLanguage) {
    collect({0x0407, 0x0207});
    EXPECT_EQ(language_display_names(),
              (Names{u"locale not found: 0x0207 (0x0207)", u"Deutsch (Deutschland)"}));
    EXPECT_EQ(preselected_name(0x0407), u"Deutsch (Deutschland)");
}

TEST_F(LanguageChoice, LanguageWithoutSystemNameIsListedByItsNumberInTheCurrentTable) {
    collect({0x0409, 0x1234});
    EXPECT_EQ(language_display_names(), (Names{u"locale not found: 0x1234", u"English"}));
    ASSERT_TRUE(select_language(lcid_german));
    EXPECT_EQ(language_display_name(0x1234), u"Locale nicht gefunden: 0x1234");
    EXPECT_EQ(preselected_name(0x0407), u"Locale nicht gefunden: 0x1234")
        << "no German listed: the first collected";

    reset_collected_lcids();
    ASSERT_TRUE(select_language(lcid_english));
    collect({0x1234, 0x0434, 0x0409});  // 0x0434 shares 0x1234's group and is unknown too
    EXPECT_EQ(language_display_names(), (Names{u"English", u"locale not found: 0x0434 (0x0434)",
                                               u"locale not found: 0x1234 (0x1234)"}));
}

TEST_F(LanguageChoice, ListedItemsResolveByTheTextTheyWereListedWith) {
    collect({0x0409, 0x1234, 0x0407});
    EXPECT_EQ(listed_language(u"English"), 0) << "nothing listed yet";
    const Names listed = list_language_names();
    ASSERT_EQ(listed, (Names{u"Deutsch", u"locale not found: 0x1234", u"English"}));

    ASSERT_TRUE(select_language(lcid_german));  // the dialog switched the table
    ASSERT_NE(language_display_name(0x1234), listed[1]);
    EXPECT_EQ(listed_language(u"locale not found: 0x1234"), 0x1234);
    EXPECT_EQ(listed_language(u"Deutsch"), 0x0407);
    EXPECT_EQ(listed_language(u"English"), 0x0409);
    EXPECT_EQ(listed_language(u"Locale nicht gefunden: 0x1234"), 0) << "never listed";
    EXPECT_EQ(listed_language(u"english"), 0) << "exact code units";
    EXPECT_EQ(listed_language(u"Deutsc"), 0);
    EXPECT_EQ(listed_language(u""), 0);
}

// Runs the terminal prompt on a typed answer; returns the choice and what was shown.
std::uint16_t ask(const char* typed, std::string& shown) {
    std::FILE* in = std::tmpfile();
    std::fputs(typed, in);
    std::rewind(in);
    char* out_buffer = nullptr;
    std::size_t out_size = 0;
    std::FILE* out = open_memstream(&out_buffer, &out_size);
    const std::uint16_t chosen = ask_language(in, out);
    std::fclose(in);
    std::fclose(out);
    shown.assign(out_buffer, out_size);
    std::free(out_buffer);
    return chosen;
}

TEST_F(LanguageChoice, TerminalPromptNumbersTheNamesAndPreselectsTheInterfaceLanguage) {
    ScopedEnv german("LANG", "de_AT.UTF-8");
    collect({0x0409, 0x0407});
    std::string shown;
    EXPECT_EQ(ask("\n", shown), 0x0407);
    EXPECT_EQ(shown.substr(0, 23), "*1) Deutsch\n 2) English") << shown;
    EXPECT_EQ(get_text("button_cancel"), u"Abbrechen") << "the chosen table is current";

    EXPECT_EQ(ask("2\n", shown), 0x0409);
    EXPECT_EQ(get_text("button_cancel"), u"Cancel");
    EXPECT_EQ(ask("  q \n", shown), 0);
    EXPECT_EQ(ask("0\n", shown), 0);
    EXPECT_EQ(ask("", shown), 0) << "end of input cancels";
    EXPECT_EQ(ask("x\n3\n1\n", shown), 0x0407) << "wrong answers ask again";
    EXPECT_NE(shown.find("from 1 to 2"), std::string::npos);
}

TEST_F(LanguageChoice, WithoutTerminalThePreselectedLanguageIsTaken) {
    if (isatty(STDIN_FILENO) && isatty(STDERR_FILENO))
        GTEST_SKIP() << "would ask the terminal";
    ScopedEnv canadian("LANG", "en_CA.UTF-8");
    collect({0x0409, 0x0809, 0x0407});
    EXPECT_EQ(choose_language(), 0x0809);
}

}  // namespace

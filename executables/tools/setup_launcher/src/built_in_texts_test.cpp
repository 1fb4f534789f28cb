#include "built_in_texts.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// Keys are looked up when compiling as well: a key that no text has does not build.
static_assert(find_built_in_text("error_reading_header") != nullptr);
static_assert(find_built_in_text("error_reading_lcid") == nullptr, "keys are case-sensitive");

TEST(BuiltInTexts, EveryKeyOnceWithItsEnglishText) {
    std::set<std::string> keys;
    for (const BuiltInText& text : built_in_texts()) {
        EXPECT_TRUE(keys.insert(text.key).second) << text.key;
        ASSERT_NE(find_built_in_text(text.key), nullptr) << text.key;
        EXPECT_EQ(find_built_in_text(text.key)->english, text.english) << text.key;
        EXPECT_NE(text.german, nullptr) << text.key;
    }
    EXPECT_EQ(std::u16string(find_built_in_text("error_reading_header")->english),
              u"Error reading '%s': can't read header");
    EXPECT_EQ(find_built_in_text("error_no_such_key"), nullptr);
}

}  // namespace

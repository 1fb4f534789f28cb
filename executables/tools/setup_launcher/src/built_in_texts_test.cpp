#include "built_in_texts.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(BuiltInTexts, EveryKeyOnceWithItsEnglishText) {
    std::set<std::string> keys;
    for (const BuiltInText& text : built_in_texts()) {
        EXPECT_TRUE(keys.insert(text.key).second) << text.key;
        EXPECT_EQ(english_text(text.key), text.english) << text.key;
    }
    EXPECT_EQ(std::u16string(english_text("error_reading_header")),
              u"Error reading '%s': can't read header");
    EXPECT_EQ(english_text("error_no_such_key"), nullptr);
}

}  // namespace

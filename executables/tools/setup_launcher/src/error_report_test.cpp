#include "error_report.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "string_table.h"
#include "test_support.h"

namespace {

ErrorReport compose(std::uint32_t last_error, int errno_value, const char16_t* system_text,
                    const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    ErrorReport report = compose_error_report("src/unit.cpp", 42, last_error, errno_value,
                                              system_text, format, args);
    va_end(args);
    return report;
}

const std::u16string english_help =
    u"\n\nYou can copy the text of this error message by pressing ctrl+c and then You\n"
    u"can easily post it with ctrl+v in a support forum or in emails to the support.";

class ErrorReportTest : public ::testing::Test {
protected:
    void SetUp() override { refill_string_tables(); }
    ScopedUiLanguage language{"en_US.UTF-8"};
};

TEST_F(ErrorReportTest, SectionsFollowInOrderAndOnlyWhenSet) {
    EXPECT_EQ(compose(0, 0, nullptr, u"Error reading '%s'", u"setup.exe").message,
              u"Error reading 'setup.exe'\n\nsrc/unit.cpp (line 42)" + english_help);

    const std::u16string enoent = widen(std::strerror(ENOENT));
    EXPECT_EQ(compose(0, ENOENT, nullptr, u"x").message,
              u"x\n\nsrc/unit.cpp (line 42)\nerrno==2 -> " + enoent + english_help);

    // The system text goes in untrimmed, line end included; none at all reads "(null)".
    EXPECT_EQ(compose(5, 0, u"Access denied.\r\n", u"x").message,
              u"x\n\nsrc/unit.cpp (line 42)\nGetLastError==5 -> Access denied.\r\n" + english_help);
    EXPECT_EQ(compose(0xDEADBEEF, ENOENT, nullptr, u"x").message,
              u"x\n\nsrc/unit.cpp (line 42)\nerrno==2 -> " + enoent +
                  u"\nGetLastError==-559038737 -> (null)" + english_help);
    EXPECT_EQ(compose(0, 0, nullptr, u"x").title, u"Error");
}

TEST_F(ErrorReportTest, GermanTableAndMissingKey) {
    ASSERT_TRUE(select_language(lcid_german));
    const ErrorReport report = compose(0, 0, nullptr, get_text("no_such_key").c_str());
    EXPECT_EQ(report.title, u"Fehler");
    EXPECT_EQ(report.message.substr(0, 28), u"\n\nsrc/unit.cpp (zeile 42)\n\nS");
}

TEST_F(ErrorReportTest, FatalErrorReadsErrnoFirstAndStampsTheCallSite) {
    ThrowOnFatalError guard;
    errno = EACCES;
    try {
        FATAL_ERROR("error_opening", u"C:\\setup.exe");
        FAIL();
    } catch (const FatalErrorRaised& raised) {
        const std::u16string& m = raised.report.message;
        EXPECT_EQ(m.rfind(u"Error opening 'C:\\setup.exe'.\n\n"
                          u"executables/tools/setup_launcher/src/error_report_test.cpp (line ",
                          0),
                  0u);
        EXPECT_NE(m.find(u"\nerrno==13 -> "), std::u16string::npos);
        EXPECT_EQ(errno, EACCES) << "the report leaves errno as it found it";
    }
}

}  // namespace

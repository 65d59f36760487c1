// The failure report: what it asks the system for, and how it trims the
// text it gets.
#include <gtest/gtest.h>

#include "platform_script.h"
#include "zirm.h"

static std::string report(const char *message, const std::string *text)
{
    reset_platform();
    platform.fake_text = true;
    platform.has_text = text != NULL;
    if (text != NULL)
        platform.text = *text;
    fflush(stdout);
    testing::internal::CaptureStdout();
    platform.active = true;
    SetLastError(1234);
    report_failure(message);
    platform.active = false;
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(ReportTest, TrimsOnlyATrailingCarriageReturnPair)
{
    const struct {
        std::string text;
        const char *expected;
    } cases[] = {
        { "Access refused.\r\n", "M\n\tAccess refused.\n" },
        { "no line end", "M\n\tno line end\n" },
        { "a\rb", "M\n\ta\n" }, // the last-but-one character decides
        { "ab", "M\n\tab\n" },
        { "\r\n", "M\n\t\r\n\n" }, // two characters are never cut
        { "x", "M\n\tx\n" },
        { "two\r\nlines\r\n", "M\n\ttwo\r\nlines\n" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(report("M\n", &c.text), c.expected);
        EXPECT_EQ(platform.message_flags, 0x1100u);
        EXPECT_EQ(platform.message_language, 0x0409u);
        EXPECT_EQ(platform.message_code, 1234u);
        EXPECT_EQ(platform.freed_texts.size(), 1u);
    }
}

TEST(ReportTest, WithoutMessageOrWithoutText)
{
    std::string text = "Out of memory.\r\n";
    EXPECT_EQ(report(NULL, &text), "\tOut of memory.\n");
    EXPECT_EQ(report("GetAce() failed.\n", NULL), "GetAce() failed.\n");
    EXPECT_TRUE(platform.freed_texts.empty());
}

TEST(ReportTest, UsesTheLayersOwnTexts)
{
    reset_platform();
    fflush(stdout);
    testing::internal::CaptureStdout();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    report_failure("malloc() failed.\n");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "malloc() failed.\n\tOut of memory.\n");
}

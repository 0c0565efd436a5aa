#include <gtest/gtest.h>

#include <stdio.h>
#include <string>

#include "../../front/output.h"

namespace {

std::string captured(void (*write)(const char *), const char *arg)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    write(arg);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(JsonStr, Escapes)
{
    const struct {
        const char *in;
        std::string out;
    } cases[] = {
        {nullptr, "\"\""},
        {"", "\"\""},
        {"q\"b\\t\tn\nr\r", "\"q\\\"b\\\\t\\tn\\nr\\r\""},
        {"\x01\x08\x0c\x1f\x1b", "\"\\u0001\\u0008\\u000c\\u001f\\u001b\""},
        {"\x7f/\xC3\xA9\xFF", "\"\x7f/\xC3\xA9\xFF\""},
        {"a\0b", "\"a\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.out, captured(json_str, c.in));
}

TEST(ErrJson, WholeReply)
{
    EXPECT_EQ(std::string("Status: 400 Bad Request\r\n"
                          "Content-Type: application/json; charset=utf-8\r\n"
                          "Cache-Control: no-store\r\n"
                          "X-Content-Type-Options: nosniff\r\n\r\n"
                          "{\"ok\":false,\"error\":\"unknown action\"}\n"),
              captured(err_json, "unknown action"));
}


TEST(UtcStamp, Format)
{
    const struct {
        int64_t t;
        const char *text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {86399, "1970-01-01T23:59:59Z"},
        {1709622489, "2024-03-05T07:08:09Z"},
        {4102444800LL, "2100-01-01T00:00:00Z"},
        // Leap days: every fourth year, not 2100, but 2000.
        {946684799, "1999-12-31T23:59:59Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {1709164800, "2024-02-29T00:00:00Z"},
        {1735689599, "2024-12-31T23:59:59Z"},
        {4107542399LL, "2100-02-28T23:59:59Z"},
        {4107542400LL, "2100-03-01T00:00:00Z"},
        // The last second four digits of year hold; beyond it, and for a
        // clock that could not be read (-1), the epoch.
        {253402300799LL, "9999-12-31T23:59:59Z"},
        {253402300800LL, "1970-01-01T00:00:00Z"},
        {-1, "1970-01-01T00:00:00Z"},
        {INT64_MIN, "1970-01-01T00:00:00Z"},
        {INT64_MAX, "1970-01-01T00:00:00Z"},
    };
    for (const auto &c : cases) {
        char buf[32];
        utc_stamp(c.t, buf);
        EXPECT_STREQ(c.text, buf);
    }
}

TEST(MsBetween, FailedReadingIsNoDuration)
{
    const struct {
        uint64_t start, end;
        long long ms;
    } cases[] = {
        {1000, 2500, 1500},
        {2500, 1000, -1500},  // a plain difference, whatever its sign
        {1000, 1000, 0},
        {0, 1765000000000ULL, MS_UNMEASURED},
        {1765000000000ULL, 0, MS_UNMEASURED},
        {0, 0, MS_UNMEASURED},
        {1, 2, 1},  // a reading of 1 ms past the epoch is a reading
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.ms, ms_between(c.start, c.end)) << c.start << " " << c.end;
}

TEST(OutMs, NullOnlyForNoDuration)
{
    const struct {
        long long ms;
        const char *out;
    } cases[] = {
        {0, "0"}, {1500, "1500"}, {-1500, "-1500"}, {-1, "-1"},
        {INT64_MIN + 1, "-9223372036854775807"}, {INT64_MAX, "9223372036854775807"},
        {MS_UNMEASURED, "null"},
    };
    for (const auto &c : cases) {
        fflush(stdout);
        testing::internal::CaptureStdout();
        out_ms(c.ms);
        fflush(stdout);
        EXPECT_EQ(c.out, testing::internal::GetCapturedStdout()) << c.ms;
    }
}

}  // namespace

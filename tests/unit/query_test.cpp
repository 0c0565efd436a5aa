#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "../../front/query.h"

namespace {

struct lookup_case {
    const char *query;
    int found;
    const char *value;
};

TEST(GetQueryVal, KeyMatching)
{
    const lookup_case cases[] = {
        {"action=dns&action=tcp", 1, "dns"},
        {"a=1&&action=tcp", 1, "tcp"},
        {"&action=dns", 1, "dns"},
        {"action", 0, ""},
        {"action=", 1, ""},
        {"action=&x=1", 1, ""},
        {"actions=dns", 0, ""},
        {"x=action=dns", 0, ""},
        {"xaction=dns", 0, ""},
        {"Action=dns", 0, ""},
        {"%61ction=dns", 0, ""},
        {"a=b=c&action=x=y", 1, "x=y"},
        {"", 0, ""},
        {"x=1&", 0, ""},
    };
    for (const auto &c : cases) {
        char buf[64] = "junk";
        EXPECT_EQ(c.found, get_query_val(c.query, "action", buf, sizeof buf)) << c.query;
        EXPECT_STREQ(c.value, buf) << c.query;
    }
}

TEST(GetQueryVal, MissingQueryIsNotFound)
{
    char buf[8] = "junk";
    EXPECT_EQ(0, get_query_val(nullptr, "action", buf, sizeof buf));
    EXPECT_STREQ("", buf);
}

TEST(GetQueryVal, Decoding)
{
    const struct {
        const char *raw;
        std::string decoded;
    } cases[] = {
        {"%41", "A"},
        {"%4a", "J"},
        {"%4A", "J"},
        {"%2B", "+"},
        {"%2b%2b", "++"},
        {"a+b", "a b"},
        {"%25", "%"},
        {"%%41", "%A"},
        {"%G1", "%G1"},
        {"%4", "%4"},
        {"%", "%"},
        {"a%00b", "a"},
        {"%e2%82%ac", "\xE2\x82\xAC"},
        {"%2c%2d%2e%2f", ",-./"},
        {"%2C%2D%2E%2F", ",-./"},
        {"%cF%Fc%dE%Ed", "\xCF\xFC\xDE\xED"},
        {"%ff%FF", "\xFF\xFF"},
        {"%2541", "%41"},  // a decoded byte is never decoded again
        {"\xC3\xA9", "\xC3\xA9"},
        // Each end of each range of hexadecimal digits, and the bytes just
        // outside them, in either place of the escape.
        {"%09%90%af%fa%AF%FA%0f%f0", std::string("\x09\x90\xAF\xFA\xAF\xFA\x0F\xF0", 8)},
        {"%/0", "%/0"}, {"%:0", "%:0"}, {"%@0", "%@0"}, {"%G0", "%G0"},
        {"%`0", "%`0"}, {"%g0", "%g0"},
        {"%0/", "%0/"}, {"%0:", "%0:"}, {"%0@", "%0@"}, {"%0G", "%0G"},
        {"%0`", "%0`"}, {"%0g", "%0g"}, {"%0 ", "%0 "}, {"%0+", "%0 "},
    };
    for (const auto &c : cases) {
        std::string q = std::string("v=") + c.raw;
        char buf[64];
        ASSERT_EQ(1, get_query_val(q.c_str(), "v", buf, sizeof buf)) << c.raw;
        EXPECT_EQ(c.decoded, std::string(buf)) << c.raw;
    }
}

TEST(GetQueryVal, CapacityCutsTheRawText)
{
    const struct {
        const char *query;
        size_t cap;
        std::string value;
    } cases[] = {
        {"v=abcdef", 4, "abc"},
        {"v=ab%41", 4, "ab%"},
        {"v=abc&w=1", 4, "abc"},
        {"v=ab", 2, "a"},
    };
    for (const auto &c : cases) {
        char buf[64];
        get_query_val(c.query, "v", buf, c.cap);
        EXPECT_EQ(c.value, std::string(buf)) << c.query << " cap " << c.cap;
    }
    std::string v63(63, 'x'), v64(64, 'y');
    char buf[64];
    get_query_val(("v=" + v63).c_str(), "v", buf, sizeof buf);
    EXPECT_EQ(v63, buf);
    get_query_val(("v=" + v64).c_str(), "v", buf, sizeof buf);
    EXPECT_EQ(std::string(63, 'y'), buf);
}

TEST(StrCopy, CutsAndTerminates)
{
    char buf[8];
    str_copy(buf, sizeof buf, nullptr);
    EXPECT_STREQ("", buf);
    str_copy(buf, 1, "abc");
    EXPECT_STREQ("", buf);
    str_copy(buf, sizeof buf, "1234567");
    EXPECT_STREQ("1234567", buf);
    str_copy(buf, sizeof buf, "123456789");
    EXPECT_STREQ("1234567", buf);

    // A source of exactly the capacity: the byte after the buffer is never
    // written and the copy is terminated inside it.
    struct {
        char buf[8];
        char after;
    } guarded = {{0}, 'G'};
    str_copy(guarded.buf, sizeof guarded.buf, "12345678");
    EXPECT_EQ('G', guarded.after);
    EXPECT_EQ(std::string("1234567"),
              std::string(guarded.buf, strnlen(guarded.buf, sizeof guarded.buf)));
}

TEST(StrTrim, WhiteSpaceOfTheCLocale)
{
    const struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"  a b\t\n", "a b"},
        {" \t\r\n\v\f ", ""},
        {"", ""},
        {"\xA0x\xA0", "\xA0x\xA0"},
        {"\vx\f", "x"},
        {"inner  space", "inner  space"},
        // The six white-space bytes one at a time, at either end.
        {" x ", "x"},
        {"\tx\t", "x"},
        {"\nx\n", "x"},
        {"\vx\v", "x"},
        {"\fx\f", "x"},
        {"\rx\r", "x"},
        // The bytes beside them are no white space.
        {"\x08x\x08", "\x08x\x08"},
        {"\x0ex\x0e", "\x0ex\x0e"},
        {"\x1fx\x1f", "\x1fx\x1f"},
        {"!x!", "!x!"},
        {"\x85x\x85", "\x85x\x85"},
        {"\x7fx\x7f", "\x7fx\x7f"},
    };
    for (const auto &c : cases) {
        char buf[32];
        str_copy(buf, sizeof buf, c.in);
        str_trim(buf);
        EXPECT_STREQ(c.out, buf);
    }
}

TEST(StrLower, OnlyAsciiLetters)
{
    char buf[32] = "DNS.Example-09_\xC3\x89Z";
    str_lower(buf);
    EXPECT_STREQ("dns.example-09_\xC3\x89z", buf);
    // The bytes beside A to Z, and the upper-case letters of Latin-1, stay.
    char edges[32] = "@AZ[`az{\xC0\xC9\xDE";
    str_lower(edges);
    EXPECT_STREQ("@az[`az{\xC0\xC9\xDE", edges);
}

TEST(ParseIntSat, AtoiRulesWithoutOverflow)
{
    const struct {
        const char *in;
        int out;
    } cases[] = {
        {"80", 80},       {" 443", 443},  {"80abc", 80},
        {"abc", 0},       {"", 0},        {"-5", -5},
        {"+7", 7},        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
        {"000000000000000000080", 80},
        // Leading white space: each of the six bytes; the bytes beside them
        // stop the reading.
        {"\t80", 80}, {"\n80", 80}, {"\v80", 80}, {"\f80", 80}, {"\r80", 80},
        {" \t\n\v\f\r80", 80},
        {"\x08" "80", 0}, {"\x0e" "80", 0}, {"\x1f" "80", 0}, {"\xa0" "80", 0},
        {"\x85" "80", 0},
        // A sign after white space, but no white space after the sign.
        {"\v-8", -8}, {"- 8", 0}, {"+\t8", 0},
        // Digits end at the bytes beside 0 and 9.
        {"8/", 8}, {"8:", 8}, {"09", 9},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.out, parse_int_sat(c.in)) << c.in;
}

}  // namespace

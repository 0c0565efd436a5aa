#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "../../checks/http_parts.h"

namespace {

struct url_case {
    std::string url;
    int ok;
    const char *host;
    const char *resolve_host;
    int port;
    std::string path;
    int tls;
};

url_case refused(const std::string &url)
{
    return {url, 0, "", "", 0, "", 0};
}

TEST(ParseUrl, Table)
{
    const std::string p300 = "/" + std::string(299, 'p');
    const std::string name253(253, 'n'), name254(254, 'n'), name256(256, 'n');
    const url_case cases[] = {
        // schemes
        {"http://site.test", 1, "site.test", "site.test", 80, "/", 0},
        {"https://site.test", 1, "site.test", "site.test", 443, "/", 1},
        {"https://site.test:80/", 1, "site.test", "site.test", 80, "/", 1},
        refused("HTTP://site.test/"),
        refused("Http://site.test/"),
        refused("ftp://site.test/"),
        refused("http:/site.test/"),
        refused("site.test/"),
        refused(""),
        refused("http://"),
        refused("http:///x"),
        // user information: everything up to the last '@' of the authority
        {"http://u@192.0.2.10:8080/a/b?x=1#top", 1, "192.0.2.10", "192.0.2.10", 8080, "/a/b", 0},
        {"http://a@b@site.test/", 1, "site.test", "site.test", 80, "/", 0},
        {"http://u:pw@site.test:81", 1, "site.test", "site.test", 81, "/", 0},
        {"http://@site.test/", 1, "site.test", "site.test", 80, "/", 0},
        {"http://site.test/p@q", 1, "site.test", "site.test", 80, "/p@q", 0},
        {"http://site.test?u@evil.test/", 1, "site.test", "site.test", 80, "/", 0},
        {"http://site.test#@evil.test", 1, "site.test", "site.test", 80, "/", 0},
        refused("http://site.test@/"),
        // ports
        refused("http://site.test:/"),
        refused("http://site.test:0/"),
        refused("http://site.test:65536/"),
        refused("http://site.test:8a/"),
        refused("http://site.test:+80/"),
        refused("http://site.test: 80/"),
        // No white space of any of the six kinds in a port, at either end.
        refused("http://site.test:\t80/"),
        refused("http://site.test:\n80/"),
        refused("http://site.test:\v80/"),
        refused("http://site.test:\f80/"),
        refused("http://site.test:\r80/"),
        refused("http://site.test:80 /"),
        refused("http://site.test:80\t/"),
        refused("http://site.test:80\r"),
        // Digits end at the bytes beside 0 and 9.
        refused("http://site.test:8:0/"),
        {"http://site.test:09/", 1, "site.test", "site.test", 9, "/", 0},
        {"http://site.test:8/0", 1, "site.test", "site.test", 8, "/0", 0},
        refused("http://site.test:0000000000000080/"),
        refused("http://site.test:99999999999999/"),
        {"http://site.test:000000000000080/", 1, "site.test", "site.test", 80, "/", 0},
        {"http://site.test:0080/", 1, "site.test", "site.test", 80, "/", 0},
        {"http://site.test:1", 1, "site.test", "site.test", 1, "/", 0},
        {"http://site.test:65535/", 1, "site.test", "site.test", 65535, "/", 0},
        {"http://site.test/a:b", 1, "site.test", "site.test", 80, "/a:b", 0},
        refused("http://:80/"),
        // IPv6 literals keep their brackets; only the inner text is resolved
        {"http://[::1]:8080/", 1, "[::1]", "::1", 8080, "/", 0},
        {"http://[::1]/", 1, "[::1]", "::1", 80, "/", 0},
        {"https://[2001:db8::1]", 1, "[2001:db8::1]", "2001:db8::1", 443, "/", 1},
        {"http://u@[::1]:81/x", 1, "[::1]", "::1", 81, "/x", 0},
        refused("http://[]/"),
        refused("http://[zz]/"),
        refused("http://[192.0.2.1]/"),
        refused("http://[::1]x/"),
        refused("http://[::1/"),
        refused("http://::1/"),
        refused("http://[::1]:/"),
        // the host is taken as written and tested as a name
        {"http://Site.TEST/", 1, "Site.TEST", "Site.TEST", 80, "/", 0},
        {"http://192.0.2.1/", 1, "192.0.2.1", "192.0.2.1", 80, "/", 0},
        {"http://a_b/", 1, "a_b", "a_b", 80, "/", 0},
        refused("http://a..b/"),
        refused("http://.a/"),
        refused("http://a b/"),
        refused("http://a%b/"),
        {"http://" + name253 + "/", 1, name253.c_str(), name253.c_str(), 80, "/", 0},
        refused("http://" + name254 + "/"),
        refused("http://" + name256 + "/"),
        // query and fragment never reach the path
        {"http://site.test?x=1", 1, "site.test", "site.test", 80, "/", 0},
        {"http://site.test#f", 1, "site.test", "site.test", 80, "/", 0},
        {"http://site.test/a?b/c#d", 1, "site.test", "site.test", 80, "/a", 0},
        {"http://site.test/a#b?c", 1, "site.test", "site.test", 80, "/a", 0},
        {"http://site.test/a%20b", 1, "site.test", "site.test", 80, "/a%20b", 0},
        {"http://site.test" + p300, 1, "site.test", "site.test", 80, p300.substr(0, 255), 0},
        {"http://site.test" + p300 + "?q", 1, "site.test", "site.test", 80, p300.substr(0, 255), 0},
    };
    for (const auto &c : cases) {
        url_parts u;
        memset(&u, 0x5a, sizeof u);
        ASSERT_EQ(c.ok, parse_url(c.url.c_str(), &u)) << c.url;
        if (!c.ok)
            continue;
        EXPECT_STREQ(c.host, u.host) << c.url;
        EXPECT_STREQ(c.resolve_host, u.resolve_host) << c.url;
        EXPECT_EQ(c.port, u.port) << c.url;
        EXPECT_EQ(c.path, u.path) << c.url;
        EXPECT_EQ(c.tls, u.tls) << c.url;
    }
}

struct answer_case {
    std::string text;
    int has_status;
    int status;
    std::string status_text;
    int header_lines;
};

TEST(ReceivedAnswer, StatusLineAndHeaderCount)
{
    const std::string long_text(100, 'N');
    const answer_case cases[] = {
        {"HTTP/1.1 301 Moved Permanently\r\nLocation: /x\r\n\r\n", 1, 301, "Moved Permanently", 1},
        {"HTTP/1.0 200 OK\nServer: t\nX: y\n\n", 1, 200, "OK", 2},
        {"HTTP/1.1 200\r\n\r\n", 1, 200, "", 0},
        {"HTTP/1.1 200", 1, 200, "", 0},
        {"HTTP/1.1 204 No Content\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n", 1, 204, "No Content", 3},
        {"HTTP/1.1 abc\r\n\r\n", 1, 0, "abc", 0},
        {"HTTP/ \r\n", 1, 0, "", 0},
        // the first space anywhere, and the first CR after it, decide
        {"HTTP/1.1\r\nX: 5\r\n\r\n", 1, 5, "", 1},
        {"HTTP/1.1 200 OK\nA: b\r\n", 1, 200, "OK\nA: b", 1},
        // the status comes from the peer: it saturates instead of overflowing
        {"HTTP/1.1 99999999999 Big\r\n\r\n", 1, 2147483647, "Big", 0},
        {"HTTP/1.1 -99999999999 X\r\n\r\n", 1, -2147483647 - 1, "-99999999999 X", 0},
        // at most 63 bytes of status text, trimmed after the cut
        {"HTTP/1.1 404 " + long_text + "\r\n\r\n", 1, 404, long_text.substr(0, 63), 0},
        {"HTTP/1.1 404 " + long_text.substr(0, 62) + "\r\n", 1, 404, long_text.substr(0, 62), 0},
        {"HTTP/1.1 404 " + long_text.substr(0, 63) + "\r\n", 1, 404, long_text.substr(0, 63), 0},
        {"HTTP/1.1 404 " + long_text.substr(0, 64) + "\r\n", 1, 404, long_text.substr(0, 63), 0},
        {"HTTP/1.1 404 " + long_text.substr(0, 62) + "x\r\n", 1, 404, long_text.substr(0, 62) + "x", 0},
        {"HTTP/1.1 200 " + std::string(62, 'a') + "   b\r\n\r\n", 1, 200, std::string(62, 'a'), 0},
        {"HTTP/1.1 200 \t  padded text \t \r\n\r\n", 1, 200, "padded text", 0},
        // Only spaces and tabs are passed over before the text is cut at 63
        // bytes; the other white space is taken into the 63 and trimmed after.
        {"HTTP/1.1 200 \t" + long_text + "\r\n", 1, 200, long_text.substr(0, 63), 0},
        {"HTTP/1.1 200\v" + long_text + "\r\n", 1, 200, long_text.substr(0, 62), 0},
        {"HTTP/1.1 200\f" + long_text + "\r\n", 1, 200, long_text.substr(0, 62), 0},
        {"HTTP/1.1 200\n" + long_text + "\r\n", 1, 200, long_text.substr(0, 62), 1},
        // The text is trimmed of each of the six white-space bytes.
        {"HTTP/1.1 200 OK \r\n", 1, 200, "OK", 0},
        {"HTTP/1.1 200 OK\t\r\n", 1, 200, "OK", 0},
        {"HTTP/1.1 200 OK\v\r\n", 1, 200, "OK", 0},
        {"HTTP/1.1 200 OK\f\r\n", 1, 200, "OK", 0},
        {"HTTP/1.1 200 \vOK\r\n", 1, 200, "OK", 0},
        {"HTTP/1.1 200 \fOK\r\n", 1, 200, "OK", 0},
        {"HTTP/1.1 200 \x08OK\x0e\r\n", 1, 200, "\x08OK\x0e", 0},
        {"HTTP/1.1 200 \xa0OK\xa0\r\n", 1, 200, "\xa0OK\xa0", 0},
        // The status number is read past leading white space of all six
        // kinds (the first space itself is the separator), not past others.
        {"HTTP/1.1  301 X\r\n", 1, 301, "301 X", 0},
        {"HTTP/1.1 \t301 X\r\n", 1, 301, "301 X", 0},
        {"HTTP/1.1 \v301 X\r\n", 1, 301, "301 X", 0},
        {"HTTP/1.1 \f301 X\r\n", 1, 301, "301 X", 0},
        {"HTTP/1.1 \x08" "301 X\r\n", 1, 0, "\x08" "301 X", 0},
        // Digits end at the bytes beside 0 and 9.
        {"HTTP/1.1 20/ X\r\n", 1, 20, "/ X", 0},
        {"HTTP/1.1 20: X\r\n", 1, 20, ": X", 0},
        // not HTTP: no status, but the lines are still counted
        {"220 peer.test service ready\r\n", 0, 0, "", 0},
        {"hello\r\nworld\r\n", 0, 0, "", 1},
        {"http/1.1 200 OK\r\nA: b\r\n\r\n", 0, 0, "", 1},
        {"HTTP/1.1", 0, 0, "", 0},
        {"HTTP/", 0, 0, "", 0},
        {"HTTP", 0, 0, "", 0},
        {"", 0, 0, "", 0},
        // header counting on its own
        {"a\nb", 0, 0, "", 1},
        {"a\n", 0, 0, "", 0},
        {"a\r\nb\r\nc\r\n\r\n", 0, 0, "", 2},
        {"a\r\n\r\n", 0, 0, "", 0},
        {"a\nb\nc", 0, 0, "", 2},
    };
    for (const auto &c : cases) {
        int status = 12345;
        char text[STATUS_TEXT_CAP];
        memset(text, 'z', sizeof text);
        int got = read_status_line(c.text.c_str(), c.text.size(), &status, text);
        EXPECT_EQ(c.has_status, got) << c.text;
        if (c.has_status) {
            EXPECT_EQ(c.status, status) << c.text;
            EXPECT_EQ(c.status_text, text) << c.text;
        }
        EXPECT_EQ(c.header_lines, count_header_lines(c.text.c_str())) << c.text;
    }
}

TEST(ReceivedAnswer, FourBytesOrFewerIsNoStatus)
{
    const char *text = "HTTP/1.1 200 OK\r\n\r\n";
    char st[STATUS_TEXT_CAP];
    int status = 0;
    EXPECT_EQ(0, read_status_line(text, 4, &status, st));
    EXPECT_EQ(1, read_status_line(text, 5, &status, st));
}

TEST(ReceivedAnswer, CutAtTheReadLimit)
{
    // A header block that never ends, cut where reading stops: the partial
    // last line counts as a line.
    std::string text = "HTTP/1.1 200 OK\r\n";
    while (text.size() < 3000)
        text += "X-Pad: " + std::string(40, 'p') + "\r\n";
    text.resize(RESPONSE_CAP - 1);
    // 17 bytes of status line, then 49-byte lines: 42 of them begin before
    // byte 2047, the last one cut short.
    int status = 0;
    char st[STATUS_TEXT_CAP];
    EXPECT_EQ(1, read_status_line(text.c_str(), text.size(), &status, st));
    EXPECT_EQ(200, status);
    EXPECT_STREQ("OK", st);
    EXPECT_EQ(42, count_header_lines(text.c_str()));
}

TEST(EncodePath, Table)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"/", "/"},
        {"/a b", "/a%20b"},
        {"/a\r\nX: 1", "/a%0D%0AX:%201"},
        {"/a%20b%0d", "/a%20b%0d"},
        {"/\t\x01\x1f", "/%09%01%1F"},
        {"/\x7f~!", "/%7F~!"},
        {"/\xc3\xa9\x80\xff", "/%C3%A9%80%FF"},
        {"/?#&=+;:@[]'\"<>\\^`{|}", "/?#&=+;:@[]'\"<>\\^`{|}"},
    };
    for (const auto &c : cases) {
        char out[SENT_PATH_CAP];
        encode_path(c.in.c_str(), out, sizeof out);
        EXPECT_EQ(c.out, out) << c.in;
    }
}

TEST(EncodePath, LongestPathFitsAndNoEscapeIsSplit)
{
    std::string in(URL_PATH_CAP - 1, '\x80');
    char out[SENT_PATH_CAP];
    encode_path(in.c_str(), out, sizeof out);
    EXPECT_EQ(3 * in.size(), strlen(out));

    char small[6];
    encode_path("abc d", small, sizeof small);
    EXPECT_STREQ("abc", small);
}

}  // namespace

// parse_url over any decoded URL text, and encode_path over what it keeps
// and over raw bytes with small buffers.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "../../checks/http_parts.h"
#include "../../checks/resolver.h"
#include "fuzz_check.h"

static int plain_byte(unsigned char c)
{
    return c > 0x20 && c != 0x7F && c < 0x80;
}

// Encodes into an exact-size buffer of cap bytes and checks the result: only
// visible ASCII, terminated within cap, as much as fits without splitting an
// escape. Returns the text.
static std::string encode_checked(const char *path, size_t cap)
{
    char *out = (char *)malloc(cap);
    encode_path(path, out, cap);
    const char *end = (const char *)memchr(out, '\0', cap);
    CHECK(end != NULL);
    std::string s(out, (size_t)(end - out));
    free(out);
    for (unsigned char c : s)
        CHECK(c > 0x20 && c < 0x7F);
    // The longest whole encoding of a prefix of path that fits in cap - 1.
    size_t want = 0;
    for (const unsigned char *p = (const unsigned char *)path; *p; p++) {
        size_t w = plain_byte(*p) ? 1 : 3;
        if (want + w > cap - 1)
            break;
        want += w;
    }
    CHECK(s.size() == want);
    return s;
}

static void check_parsed(const char *url, const url_parts &u)
{
    int https = strncmp(url, "https://", 8) == 0;
    CHECK(https || strncmp(url, "http://", 7) == 0);
    CHECK(u.tls == https);
    CHECK(u.port >= 1 && u.port <= 65535);

    const char *hend = (const char *)memchr(u.host, '\0', sizeof u.host);
    CHECK(hend != NULL && hend > u.host);
    size_t hlen = (size_t)(hend - u.host);
    CHECK(strcspn(u.host, "/?#@") == hlen);
    CHECK(strstr(url, u.host) != NULL);
    CHECK(memchr(u.resolve_host, '\0', sizeof u.resolve_host) != NULL);
    if (u.host[0] == '[' && u.host[hlen - 1] == ']') {
        unsigned char a[16];
        CHECK(std::string(u.host + 1, hlen - 2) == u.resolve_host);
        CHECK(inet_pton(AF_INET6, u.resolve_host, a) == 1);
    } else {
        CHECK(strcmp(u.host, u.resolve_host) == 0);
        CHECK(valid_host(u.host));
    }

    const char *pend = (const char *)memchr(u.path, '\0', sizeof u.path);
    CHECK(pend != NULL && u.path[0] == '/');
    // The path is the URL's own text after the authority, without query
    // and fragment, cut to 255 bytes; or "/" when there is none.
    const char *auth = url + (https ? 8 : 7);
    const char *src = auth + strcspn(auth, "/?#");
    size_t slen = strcspn(src, "?#");
    if (slen == 0)
        CHECK(strcmp(u.path, "/") == 0);
    else
        CHECK(std::string(src, slen < 255 ? slen : 255) == u.path);

    encode_checked(u.path, SENT_PATH_CAP);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *url = (char *)malloc(size + 1);
    memcpy(url, data, size);
    url[size] = '\0';
    url_parts u;
    if (parse_url(url, &u))
        check_parsed(url, u);
    // Raw bytes through the encoder, whole and into a small buffer.
    size_t n = strlen(url);
    encode_checked(url, 3 * n + 1);
    encode_checked(url, 1 + (size ? data[0] % 64 : 0));
    free(url);
    return 0;
}

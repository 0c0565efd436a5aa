#include <string.h>

#include "../front/query.h"
#include "http_parts.h"
#include "resolver.h"

#define PORT_TEXT_MAX 15

// Port text: 1 to 15 ASCII digits with a value in 1..65535. -1 otherwise.
static int read_port(const char *p, size_t n)
{
    if (n < 1 || n > PORT_TEXT_MAX)
        return -1;
    long v = 0;
    for (size_t i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        if (v <= 65535)
            v = v * 10 + (p[i] - '0');
    }
    return v >= 1 && v <= 65535 ? (int)v : -1;
}

// Scans from the end: the first ':' met separates the port, unless a
// bracket comes first (a ':' inside an IPv6 literal).
static const char *port_separator(const char *s, size_t n)
{
    for (size_t i = n; i > 0; i--) {
        char c = s[i - 1];
        if (c == ':')
            return s + i - 1;
        if (c == ']' || c == '[')
            return NULL;
    }
    return NULL;
}

static int set_host(url_parts *u, const char *h, size_t n)
{
    if (n < 1 || n > URL_HOST_CAP - 1)
        return 0;
    memcpy(u->host, h, n);
    u->host[n] = '\0';
    if (h[0] == '[' && h[n - 1] == ']') {
        unsigned char a[16];
        if (n < 3)
            return 0;
        memcpy(u->resolve_host, h + 1, n - 2);
        u->resolve_host[n - 2] = '\0';
        return inet_pton(AF_INET6, u->resolve_host, a) == 1;
    }
    str_copy(u->resolve_host, sizeof u->resolve_host, u->host);
    return valid_host(u->host);
}

int parse_url(const char *url, url_parts *u)
{
    memset(u, 0, sizeof *u);
    const char *auth;
    if (strncmp(url, "http://", 7) == 0) {
        auth = url + 7;
        u->port = 80;
    } else if (strncmp(url, "https://", 8) == 0) {
        auth = url + 8;
        u->port = 443;
        u->tls = 1;
    } else {
        return 0;
    }
    size_t alen = strcspn(auth, "/?#");
    const char *hp = auth;
    for (size_t i = 0; i < alen; i++)
        if (auth[i] == '@')
            hp = auth + i + 1;
    size_t hlen = (size_t)(auth + alen - hp);
    const char *sep = port_separator(hp, hlen);
    if (sep) {
        u->port = read_port(sep + 1, (size_t)(hp + hlen - sep - 1));
        if (u->port < 0)
            return 0;
        hlen = (size_t)(sep - hp);
    }
    if (!set_host(u, hp, hlen))
        return 0;
    const char *path = auth + alen;
    size_t plen = strcspn(path, "?#");
    if (plen == 0) {
        strcpy(u->path, "/");
    } else {
        if (plen > URL_PATH_CAP - 1)
            plen = URL_PATH_CAP - 1;
        memcpy(u->path, path, plen);
        u->path[plen] = '\0';
    }
    return 1;
}

void encode_path(const char *path, char *out, size_t cap)
{
    static const char HEX[] = "0123456789ABCDEF";
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)path; *p; p++) {
        int plain = *p > 0x20 && *p < 0x7F;
        if (n + (plain ? 1 : 3) >= cap)
            break;
        if (plain) {
            out[n++] = (char)*p;
        } else {
            out[n++] = '%';
            out[n++] = HEX[*p >> 4];
            out[n++] = HEX[*p & 15];
        }
    }
    out[n] = '\0';
}

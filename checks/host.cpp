#include <ctype.h>
#include <string.h>

#include "resolver.h"

static int is_literal(const char *host)
{
    unsigned char a[16];
    return inet_pton(AF_INET, host, a) == 1 || inet_pton(AF_INET6, host, a) == 1;
}

int valid_host(const char *host)
{
    if (is_literal(host))
        return 1;
    size_t n = strlen(host);
    if (n < 1 || n > 253 || host[0] == '.' || host[n - 1] == '.')
        return 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)host[i];
        if (c == '.') {
            if (i > 0 && host[i - 1] == '.')
                return 0;
        } else if (!(c < 0x80 && isalnum(c)) && c != '-' && c != '_') {
            return 0;
        }
    }
    return 1;
}

int addr_text(const struct sockaddr *sa, char *buf)
{
    if (!sa)
        return ADDR_NONE;
    buf[0] = '\0';
    const void *bytes = NULL;
    int kind = ADDR_NONE;
    if (sa->sa_family == AF_INET) {
        bytes = &((const struct sockaddr_in *)sa)->sin_addr;
        kind = ADDR_IPV4;
    } else if (sa->sa_family == AF_INET6) {
        bytes = &((const struct sockaddr_in6 *)sa)->sin6_addr;
        kind = ADDR_IPV6;
    }
    if (!bytes || !inet_ntop(sa->sa_family, bytes, buf, 64)) {
        buf[0] = '\0';
        return ADDR_NONE;
    }
    return kind;
}

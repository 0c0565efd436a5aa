#include "password.h"

#include <string.h>

#include "../platform/platform.h"
#include "limits.h"
#include "query.h"

int same_secret(const char *candidate, const char *secret)
{
    // Walks the whole candidate whatever it holds; the secret's bytes are
    // read cyclically so no index depends on where a mismatch lies.
    size_t n = strlen(candidate);
    size_t m = strlen(secret);
    unsigned diff = (unsigned)(n ^ m);
    for (size_t i = 0; i < n; i++) {
        unsigned char s = m ? (unsigned char)secret[i % m] : 0;
        diff |= (unsigned)((unsigned char)candidate[i] ^ s);
    }
    return diff == 0 && n == m;
}

static const char *bearer_token(const char *h)
{
    while (*h == ' ')
        h++;
    if (strncmp(h, "Bearer ", 7) == 0) {
        h += 7;
        while (*h == ' ')
            h++;
    }
    return h;
}

int check_node_password(const char *query)
{
    const char *secret = plat_getenv("MORV_PASSWORD");
    if (!secret || !*secret)
        return 1;
    const char *hdr = plat_getenv("HTTP_X_MORV_PASSWORD");
    if (hdr && same_secret(hdr, secret))
        return 1;
    const char *auth = plat_getenv("HTTP_AUTHORIZATION");
    if (auth && same_secret(bearer_token(auth), secret))
        return 1;
    char pwd[PWD_CAP];
    if (query && get_query_val(query, "pwd", pwd, sizeof pwd) &&
        same_secret(pwd, secret))
        return 1;
    return 0;
}

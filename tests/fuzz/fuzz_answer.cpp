// The status line and header count over a received answer, as the read
// loop leaves it: at most RESPONSE_CAP - 1 bytes, then a terminator.
#include <ctype.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "../../checks/http_parts.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t len = size < RESPONSE_CAP - 1 ? size : RESPONSE_CAP - 1;
    char *text = (char *)malloc(len + 1);
    memcpy(text, data, len);
    text[len] = '\0';
    char *st = (char *)malloc(STATUS_TEXT_CAP);
    memset(st, 'x', STATUS_TEXT_CAP);
    int status = INT_MIN + 7;

    int rc = read_status_line(text, len, &status, st);
    const char *sp = strchr(text, ' ');
    CHECK(rc == (len > 4 && strncmp(text, "HTTP/", 5) == 0 && sp != NULL));
    const char *end = (const char *)memchr(st, '\0', STATUS_TEXT_CAP);
    CHECK(end != NULL);
    size_t n = (size_t)(end - st);
    if (!rc) {
        CHECK(n == 0);
    } else {
        // atoi's rules, saturated at the 32-bit limits.
        long long want = strtoll(sp + 1, NULL, 10);
        want = want > INT_MAX ? INT_MAX : want < INT_MIN ? INT_MIN : want;
        CHECK(status == want);
        CHECK(n <= STATUS_TEXT_CAP - 1);
        if (n) {
            CHECK(!isspace((unsigned char)st[0]) && !isspace((unsigned char)st[n - 1]));
            CHECK(strchr(st, '\r') == NULL);
            CHECK(strstr(sp, st) != NULL);
        }
    }

    int lfs = 0;
    for (const char *p = text; *p; p++)
        lfs += *p == '\n';
    int lines = count_header_lines(text);
    CHECK(lines >= 0 && lines <= lfs);
    free(st);
    free(text);
    return 0;
}

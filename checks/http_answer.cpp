#include <string.h>

#include "../front/query.h"
#include "http_parts.h"

int read_status_line(const char *text, size_t len, int *status,
                     char *status_text)
{
    status_text[0] = '\0';
    if (len <= 4 || strncmp(text, "HTTP/", 5) != 0)
        return 0;
    const char *sp = strchr(text, ' ');
    if (!sp)
        return 0;
    *status = parse_int_sat(sp + 1);
    const char *end = strchr(sp, '\r');
    if (!end)
        end = strchr(sp, '\n');
    if (!end)
        return 1;
    const char *start = sp + 1;
    while (start < end && *start >= '0' && *start <= '9')
        start++;
    while (start < end && (*start == ' ' || *start == '\t'))
        start++;
    size_t n = start < end ? (size_t)(end - start) : 0;
    if (n > STATUS_TEXT_CAP - 1)
        n = STATUS_TEXT_CAP - 1;
    memcpy(status_text, start, n);
    status_text[n] = '\0';
    str_trim(status_text);
    return 1;
}

int count_header_lines(const char *text)
{
    int count = 0;
    const char *p = strchr(text, '\n');
    while (p) {
        p++;
        while (*p == '\r')
            p++;
        if (*p == '\n')
            p++;
        if (!*p || *p == '\n')
            break;
        count++;
        p = strchr(p, '\n');
    }
    return count;
}

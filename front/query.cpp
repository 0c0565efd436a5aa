#include "query.h"

#include <ctype.h>
#include <limits.h>
#include <string.h>

static int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes in place; the output never runs ahead of the input.
static void url_decode(char *s)
{
    char *out = s;
    const char *in = s;
    while (*in) {
        if (in[0] == '%' && hex_value((unsigned char)in[1]) >= 0 &&
            hex_value((unsigned char)in[2]) >= 0) {
            *out++ = (char)(hex_value((unsigned char)in[1]) * 16 +
                            hex_value((unsigned char)in[2]));
            in += 3;
        } else if (*in == '+') {
            *out++ = ' ';
            in++;
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
}

static const char *find_segment(const char *q, const char *key)
{
    size_t klen = strlen(key);
    const char *p = q;
    for (;;) {
        if (strncmp(p, key, klen) == 0 && p[klen] == '=')
            return p + klen + 1;
        const char *amp = strchr(p, '&');
        if (!amp || amp[1] == '\0')
            return NULL;
        p = amp + 1;
    }
}

int get_query_val(const char *query, const char *key, char *buf, size_t cap)
{
    buf[0] = '\0';
    if (!query)
        return 0;
    const char *v = find_segment(query, key);
    if (!v)
        return 0;
    size_t n = 0;
    while (v[n] && v[n] != '&' && n < cap - 1) {
        buf[n] = v[n];
        n++;
    }
    buf[n] = '\0';
    url_decode(buf);
    return 1;
}

void str_copy(char *dst, size_t cap, const char *src)
{
    if (!src) {
        dst[0] = '\0';
        return;
    }
    size_t n = strlen(src);
    if (n >= cap)
        n = cap - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

void str_trim(char *s)
{
    size_t lead = 0;
    while (s[lead] && isspace((unsigned char)s[lead]))
        lead++;
    if (lead)
        memmove(s, s + lead, strlen(s + lead) + 1);
    size_t n = strlen(s);
    while (n > 0 && isspace((unsigned char)s[n - 1]))
        s[--n] = '\0';
}

void str_lower(char *s)
{
    for (; *s; s++)
        if (*s >= 'A' && *s <= 'Z')
            *s = (char)(*s - 'A' + 'a');
}

int parse_int_sat(const char *s)
{
    while (isspace((unsigned char)*s))
        s++;
    int neg = 0;
    if (*s == '+' || *s == '-')
        neg = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > (long long)INT_MAX + 1)
            v = (long long)INT_MAX + 1;
    }
    if (neg)
        v = -v;
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

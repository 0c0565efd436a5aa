#include "output.h"

#include <stdarg.h>
#include <stdio.h>

#include "../platform/platform.h"

void out(const char *s)
{
    fputs(s, stdout);
}

void outf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stdout, fmt, ap);
    va_end(ap);
}

void emit_json_head(void)
{
    out(JSON_HEAD);
}

void json_str(const char *s)
{
    putchar('"');
    if (s) {
        for (const unsigned char *p = (const unsigned char *)s; *p; p++) {
            switch (*p) {
            case '"': out("\\\""); break;
            case '\\': out("\\\\"); break;
            case '\n': out("\\n"); break;
            case '\r': out("\\r"); break;
            case '\t': out("\\t"); break;
            default:
                if (*p < 0x20)
                    outf("\\u%04x", *p);
                else
                    putchar(*p);
            }
        }
    }
    putchar('"');
}

void err_json(const char *msg)
{
    out("Status: 400 Bad Request\r\n" JSON_HEAD "{\"ok\":false,\"error\":");
    json_str(msg);
    out("}\n");
}

// Writes v as n decimal digits, zero-padded, and returns the end.
static char *put_digits(char *p, unsigned v, int n)
{
    for (int i = n - 1; i >= 0; i--) {
        p[i] = (char)('0' + v % 10);
        v /= 10;
    }
    return p + n;
}

// The last second a four-digit year can show: 9999-12-31T23:59:59Z.
#define STAMP_LAST 253402300799LL

// The calendar date from the day count alone: the system's time
// conversions would load the local time-zone rules for a UTC stamp.
void utc_stamp(int64_t t, char *buf)
{
    // A clock that could not be read (-1) or reads nonsense shows as the
    // epoch, which no running node's clock gives, never as a likely date.
    if (t < 0 || t > STAMP_LAST)
        t = 0;
    int64_t days = t / 86400;
    int64_t secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        days--;
    }
    // Years counted from 0000-03-01 in 400-year eras, so that the leap day
    // ends each year.
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned doe = (unsigned)(days - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    unsigned day = doy - (153 * mp + 2) / 5 + 1;
    unsigned month = mp < 10 ? mp + 3 : mp - 9;
    int64_t year = (int64_t)yoe + era * 400 + (month <= 2);
    char *p = put_digits(buf, (unsigned)year, 4);
    *p++ = '-';
    p = put_digits(p, month, 2);
    *p++ = '-';
    p = put_digits(p, day, 2);
    *p++ = 'T';
    p = put_digits(p, (unsigned)(secs / 3600), 2);
    *p++ = ':';
    p = put_digits(p, (unsigned)(secs / 60 % 60), 2);
    *p++ = ':';
    p = put_digits(p, (unsigned)(secs % 60), 2);
    *p++ = 'Z';
    *p = '\0';
}

uint64_t now_ms(void)
{
    return plat_mono_ms();
}

long long ms_between(uint64_t start, uint64_t end)
{
    if (start == 0 || end == 0)
        return MS_UNMEASURED;
    return (long long)(end - start);
}

void out_ms(long long ms)
{
    if (ms == MS_UNMEASURED)
        out("null");
    else
        outf("%lld", ms);
}

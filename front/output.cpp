#include "output.h"

#include <stdarg.h>
#include <stdio.h>

#include "../platform/platform.h"
#include "limits.h"

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
    outf("Status: %d %s\r\n" JSON_HEAD "{\"ok\":false,\"error\":", 400,
         "Bad Request");
    json_str(msg);
    out("}\n");
}

void utc_stamp(int64_t t, char *buf)
{
    plat_format_utc(t, "%Y-%m-%dT%H:%M:%SZ", buf, STAMP_CAP);
}

uint64_t now_ms(void)
{
    return plat_wall_ms();
}

#include <stdio.h>
#include <string.h>

#include "../front/actions.h"
#include "../front/output.h"

// Built from the text assets beside this file.
extern const char page_template[];
extern const char theme_head[];
extern const char theme_bridge[];

#define PAGE_HEAD                                                    \
    "Content-Type: text/html; charset=utf-8\r\n"                    \
    "Cache-Control: no-store\r\n"                                   \
    "X-Content-Type-Options: nosniff\r\n"                           \
    "X-Frame-Options: SAMEORIGIN\r\n"                               \
    "Content-Security-Policy: default-src 'none'; script-src "      \
    "'unsafe-inline'; style-src 'unsafe-inline'; img-src data:; "   \
    "connect-src 'self'; form-action 'none'; base-uri 'none'\r\n"   \
    "\r\n"

#define MARK_THEME_HEAD '\x01'
#define MARK_THEME_BRIDGE '\x02'

void emit_page(void)
{
    out(PAGE_HEAD);
    const char *p = page_template;
    while (*p) {
        size_t n = strcspn(p, "\x01\x02");
        fwrite(p, 1, n, stdout);
        p += n;
        if (*p == MARK_THEME_HEAD)
            out(theme_head);
        else if (*p == MARK_THEME_BRIDGE)
            out(theme_bridge);
        else
            break;
        p++;
    }
}

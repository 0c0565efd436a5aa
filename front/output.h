// Reply framing and the writers every JSON document is made of. Everything
// goes straight to standard output, piece by piece.
#ifndef TARVIK_OUTPUT_H
#define TARVIK_OUTPUT_H

#include <stdint.h>
#include <stddef.h>

#define JSON_HEAD                                                    \
    "Content-Type: application/json; charset=utf-8\r\n"             \
    "Cache-Control: no-store\r\n"                                   \
    "X-Content-Type-Options: nosniff\r\n"                           \
    "\r\n"

#define META_LINE "{\"name\":\"tarvik\",\"desc\":\"Net checks\"}\n"

void emit_json_head(void);
void json_str(const char *s);
void err_json(const char *msg);
void utc_stamp(int64_t t, char *buf);
// Monotonic clock in milliseconds, for durations and budgets; 0 when it
// cannot be read.
uint64_t now_ms(void);
// What ms_between gives when either reading failed: no duration at all,
// written as null. No difference of two readings comes near it.
#define MS_UNMEASURED INT64_MIN
// Milliseconds from one now_ms reading to another, or MS_UNMEASURED, so
// that a failed reading never turns into a duration.
long long ms_between(uint64_t start, uint64_t end);
// Writes a duration as %lld, or null for MS_UNMEASURED.
void out_ms(long long ms);
// A limit's value as decimal text, for a piece fixed when the plug-in is
// built: formatting it at run time would load the C library's formatter,
// whose code and tables cost start-up a handful of page faults.
#define LIMIT_TEXT(n) LIMIT_TEXT_(n)
#define LIMIT_TEXT_(n) #n
// Writes a fixed piece as it stands.
void out(const char *s);
// Formatted piece (printf rules).
void outf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif

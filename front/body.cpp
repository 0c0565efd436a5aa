#include "body.h"

#include "../platform/platform.h"
#include "limits.h"

// Larger counts read to the end: the budget ends the read long before.
#define BODY_COUNT_MAX 1000000000000ULL

uint64_t body_length(const char *content_length, const char *transfer_encoding)
{
    if (content_length && *content_length) {
        uint64_t n = 0;
        const char *p = content_length;
        for (; *p >= '0' && *p <= '9'; p++)
            n = n < BODY_COUNT_MAX ? n * 10 + (uint64_t)(*p - '0') : BODY_COUNT_MAX;
        if (!*p)
            return n < BODY_COUNT_MAX ? n : BODY_TO_END;
    }
    return transfer_encoding && *transfer_encoding ? BODY_TO_END : 0;
}

// The reader's state is static, not on the stack: a reader thread still
// waiting at the deadline is abandoned, and it must have something left to
// write to. Nothing of it comes back: the bytes are thrown away.
static uint64_t g_body_left;
static char g_body_buf[BODY_BUF_CAP];

static void read_body(void *arg)
{
    (void)arg;
    while (g_body_left > 0) {
        int want = g_body_left < sizeof g_body_buf ? (int)g_body_left : (int)sizeof g_body_buf;
        int got = plat_stdin_read(g_body_buf, want);
        if (got <= 0)
            return;
        if (g_body_left != BODY_TO_END)
            g_body_left -= (uint64_t)got;
    }
}

void drain_body(void)
{
    g_body_left = body_length(plat_getenv("CONTENT_LENGTH"),
                              plat_getenv("HTTP_TRANSFER_ENCODING"));
    if (!g_body_left)
        return;
    // A read that waits for input, in a worker of its own, waited for with
    // a deadline, bounds the drain the same way on a pipe, a socket or a
    // file, blocking or not, on both systems. Without a worker the body
    // stays unread.
    plat_worker *reader = plat_worker_start(read_body, 0, 0);
    if (!reader)
        return;
    plat_worker_wait(reader, BODY_BUDGET_MS);
    plat_worker_close(reader);
}

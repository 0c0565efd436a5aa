#include "body.h"

#include "../platform/platform.h"
#include "limits.h"
#include "output.h"

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

// One read of at most what is left of the body: its count, or 0 or less
// as plat_stdin_read gives it.
static int read_some(int ms)
{
    int want = g_body_left < sizeof g_body_buf ? (int)g_body_left : (int)sizeof g_body_buf;
    int got = plat_stdin_read(g_body_buf, want, ms);
    if (got > 0 && g_body_left != BODY_TO_END)
        g_body_left -= (uint64_t)got;
    return got;
}

static void read_body(void *arg)
{
    (void)arg;
    while (g_body_left > 0 && read_some(PLAT_WAIT_FOREVER) > 0) {
    }
}

// Each read waits at most what is left of the budget. A clock that cannot
// be read leaves the first wait alone and counts the budget as spent after
// it, so the drain is bounded either way.
static void read_body_within(int budget)
{
    uint64_t start = now_ms();
    int wait = budget;
    while (g_body_left > 0 && wait > 0) {
        int got = read_some(wait);
        if (got != PLAT_STDIN_LATE && got <= 0)
            return;
        long long spent = ms_between(start, now_ms());
        wait = spent == MS_UNMEASURED ? 0 : budget - (int)(spent < budget ? spent : budget);
    }
}

void drain_body(void)
{
    g_body_left = body_length(plat_getenv("CONTENT_LENGTH"),
                              plat_getenv("HTTP_TRANSFER_ENCODING"));
    if (!g_body_left)
        return;
    // Where standard input can be waited on with a timeout the read stays
    // in this process: a worker would cost a process for nothing, and a
    // system that refuses one must still get its reply. Elsewhere a read
    // that waits for input, in a worker of its own, waited for with a
    // deadline, bounds the drain the same way on a pipe, a socket or a file,
    // blocking or not. Without a worker the body stays unread.
    if (plat_stdin_waits()) {
        read_body_within(BODY_BUDGET_MS);
        return;
    }
    plat_worker *reader = plat_worker_start(read_body, 0, 0);
    if (!reader)
        return;
    plat_worker_wait(reader, BODY_BUDGET_MS);
    plat_worker_close(reader);
}

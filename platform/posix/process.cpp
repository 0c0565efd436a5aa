#include "../platform.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

void plat_stdio_init(void)
{
    // A peer that closes early or a reader of standard output that has gone
    // must end in a failed write, never in a killed process.
    signal(SIGPIPE, SIG_IGN);
}

int plat_stdin_read(char *buf, int len)
{
    for (;;) {
        ssize_t n = read(0, buf, (size_t)len);
        if (n >= 0)
            return (int)n;
        if (errno == EINTR)
            continue;
        // A host may hand over a non-blocking descriptor: nothing has
        // arrived yet, which is not the end of the body. The wait is as long
        // as the body takes; the caller's deadline bounds it.
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        struct pollfd in = {0, POLLIN, 0};
        if (poll(&in, 1, -1) < 0 && errno != EINTR)
            return -1;
    }
}

int plat_net_start(void)
{
    return 0;
}

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

int plat_stdin_read(char *buf, int len, int ms)
{
    // poll first: a descriptor the host left blocking would hold read()
    // past any deadline, and one it made non-blocking has nothing to read
    // until the host writes. poll waits on a pipe, a socket or a file alike.
    struct pollfd in = {0, POLLIN, 0};
    int ready = poll(&in, 1, ms);
    if (ready < 0 && errno != EINTR)
        return -1;
    if (ready <= 0)
        return PLAT_STDIN_LATE;
    ssize_t n = read(0, buf, (size_t)len);
    if (n >= 0)
        return (int)n;
    return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? PLAT_STDIN_LATE : -1;
}

int plat_stdin_waits(void)
{
    return 1;
}

int plat_net_start(void)
{
    return 0;
}

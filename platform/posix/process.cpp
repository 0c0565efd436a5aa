#include "../platform.h"

#include <errno.h>
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
        if (errno != EINTR)
            return -1;
    }
}

int plat_net_start(void)
{
    return 0;
}

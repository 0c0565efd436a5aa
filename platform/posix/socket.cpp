#include "../platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

plat_socket plat_socket_open(int family, int type, int protocol)
{
    return socket(family, type, protocol);
}

void plat_socket_close(plat_socket s)
{
    close(s);
}

int plat_socket_nonblocking(plat_socket s)
{
    int fl = fcntl(s, F_GETFL, 0);
    if (fl < 0)
        return -1;
    return fcntl(s, F_SETFL, fl | O_NONBLOCK) < 0 ? -1 : 0;
}

int plat_connect_start(plat_socket s, const struct sockaddr *a, int len)
{
    if (connect(s, a, (socklen_t)len) == 0)
        return PLAT_CONNECTED;
    if (errno == EINPROGRESS || errno == EWOULDBLOCK || errno == EALREADY ||
        errno == EINTR)
        return PLAT_IN_PROGRESS;
    return PLAT_CONNECT_FAILED;
}

int plat_connect_wait(plat_socket s, unsigned ms)
{
    // poll, not select: a descriptor above FD_SETSIZE is no problem here.
    struct pollfd p;
    p.fd = s;
    p.events = POLLOUT;
    p.revents = 0;
    uint64_t end = plat_mono_ms() + ms;
    for (;;) {
        int rc = poll(&p, 1, (int)ms);
        if (rc > 0)
            return 1;
        if (rc == 0)
            return 0;
        if (errno != EINTR)
            return -1;
        // A clock that cannot be read leaves no deadline to wait for.
        uint64_t now = plat_mono_ms();
        if (now == 0 || now >= end)
            return 0;
        ms = (unsigned)(end - now);
    }
}

int plat_socket_error(plat_socket s)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return -1;
    return err;
}

int plat_connect_blocking(plat_socket s, const struct sockaddr *a, int len)
{
    return connect(s, a, (socklen_t)len);
}

void plat_recv_timeout(plat_socket s, unsigned ms)
{
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (suseconds_t)(ms % 1000) * 1000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

int plat_send(plat_socket s, const char *buf, int len)
{
    return (int)send(s, buf, (size_t)len, MSG_NOSIGNAL);
}

int plat_recv(plat_socket s, char *buf, int len)
{
    return (int)recv(s, buf, (size_t)len, 0);
}

int plat_recv_peek(plat_socket s, char *buf, int len)
{
    return (int)recv(s, buf, (size_t)len, MSG_PEEK);
}

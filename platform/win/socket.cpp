#include "../platform.h"

plat_socket plat_socket_open(int family, int type, int protocol)
{
    return socket(family, type, protocol);
}

void plat_socket_close(plat_socket s)
{
    closesocket(s);
}

int plat_socket_nonblocking(plat_socket s)
{
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0 ? 0 : -1;
}

int plat_connect_start(plat_socket s, const struct sockaddr *a, int len)
{
    if (connect(s, a, len) == 0)
        return PLAT_CONNECTED;
    int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS || err == WSAEALREADY)
        return PLAT_IN_PROGRESS;
    return PLAT_CONNECT_FAILED;
}

int plat_connect_wait(plat_socket s, unsigned ms)
{
    // Winsock reports a failed connect in the exception set, not as writable.
    fd_set wr, ex;
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(s, &wr);
    FD_SET(s, &ex);
    struct timeval tv;
    tv.tv_sec = (long)(ms / 1000);
    tv.tv_usec = (long)(ms % 1000) * 1000;
    int rc = select(0, NULL, &wr, &ex, &tv);
    if (rc > 0)
        return 1;
    return rc == 0 ? 0 : -1;
}

int plat_socket_error(plat_socket s)
{
    int err = 0;
    int len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, (char *)&err, &len) != 0)
        return -1;
    return err;
}

int plat_connect_blocking(plat_socket s, const struct sockaddr *a, int len)
{
    return connect(s, a, len);
}

void plat_recv_timeout(plat_socket s, unsigned ms)
{
    // Winsock takes the receive timeout as a DWORD of milliseconds.
    DWORD v = ms;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&v, sizeof v);
}

int plat_send(plat_socket s, const char *buf, int len)
{
    return send(s, buf, len, 0);
}

int plat_recv(plat_socket s, char *buf, int len)
{
    return recv(s, buf, len, 0);
}

int plat_recv_peek(plat_socket s, char *buf, int len)
{
    return recv(s, buf, len, MSG_PEEK);
}

#include "../platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

void plat_stdio_init(void)
{
    // Header lines end in CR LF and bodies in LF exactly as written. The
    // request body is read from the handle, which translates nothing.
    _setmode(_fileno(stdout), _O_BINARY);
}

int plat_stdin_read(char *buf, int len, int ms)
{
    (void)ms;
    // The handle itself, not the C runtime's stream: a read still blocked
    // when the process ends must hold none of the runtime's locks.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD got = 0;
    if (in == NULL || in == INVALID_HANDLE_VALUE)
        return -1;
    for (;;) {
        if (ReadFile(in, buf, (DWORD)len, &got, NULL))
            return (int)got;
        DWORD e = GetLastError();
        if (e == ERROR_BROKEN_PIPE)
            return 0;
        // A pipe in no-wait mode says no data until the host writes some,
        // and offers nothing to wait on: it is asked again after a short
        // sleep, for as long as the caller's deadline lets it.
        if (e != ERROR_NO_DATA)
            return -1;
        Sleep(10);
    }
}

int plat_stdin_waits(void)
{
    return 0;
}

int plat_net_start(void)
{
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa);
}

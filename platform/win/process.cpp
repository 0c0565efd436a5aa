#include "../platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

void plat_stdio_init(void)
{
    // Header lines end in CR LF and bodies in LF exactly as written; a
    // request body is taken as bytes.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
}

int plat_stdin_read(char *buf, int len)
{
    // The handle itself, not the C runtime's stream: a read still blocked
    // when the process ends must hold none of the runtime's locks.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD got = 0;
    if (in == NULL || in == INVALID_HANDLE_VALUE)
        return -1;
    if (!ReadFile(in, buf, (DWORD)len, &got, NULL))
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    return (int)got;
}

int plat_net_start(void)
{
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa);
}

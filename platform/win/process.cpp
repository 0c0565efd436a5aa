#include "../platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

void plat_stdio_init(void)
{
    // Header lines end in CR LF and bodies in LF exactly as written.
    _setmode(_fileno(stdout), _O_BINARY);
}

int plat_net_start(void)
{
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa);
}

#include "../platform.h"

// Windows' getaddrinfo already answers with Windows Sockets numbers.
int plat_getaddrinfo(const char *host, const char *service,
                     const struct addrinfo *hints, struct addrinfo **out)
{
    return getaddrinfo(host, service, hints, out);
}

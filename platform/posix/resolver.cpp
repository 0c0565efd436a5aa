#include "../platform.h"

// Windows Sockets numbers for the resolver's failures, so that a document
// reads the same on every node of a fleet (and never collides with the
// resolver's own -1 and -4 outcomes).
enum {
    WS_NOT_ENOUGH_MEMORY = 8,
    WS_EINVAL = 10022,
    WS_ESOCKTNOSUPPORT = 10044,
    WS_EAFNOSUPPORT = 10047,
    WS_TYPE_NOT_FOUND = 10109,
    WS_HOST_NOT_FOUND = 11001,
    WS_TRY_AGAIN = 11002,
    WS_NO_RECOVERY = 11003
};

static int translate_eai(int rc)
{
    switch (rc) {
    case 0: return 0;
    case EAI_NONAME: return WS_HOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA: return WS_HOST_NOT_FOUND;
#endif
    case EAI_AGAIN: return WS_TRY_AGAIN;
    case EAI_FAIL: return WS_NO_RECOVERY;
    case EAI_FAMILY: return WS_EAFNOSUPPORT;
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WS_EAFNOSUPPORT;
#endif
    case EAI_MEMORY: return WS_NOT_ENOUGH_MEMORY;
    case EAI_SERVICE: return WS_TYPE_NOT_FOUND;
    case EAI_SOCKTYPE: return WS_ESOCKTNOSUPPORT;
    case EAI_BADFLAGS: return WS_EINVAL;
    default: return WS_NO_RECOVERY;
    }
}

int plat_getaddrinfo(const char *host, const char *service,
                     const struct addrinfo *hints, struct addrinfo **out)
{
    return translate_eai(getaddrinfo(host, service, hints, out));
}

#include "../platform.h"

unsigned long plat_adapters(unsigned long flags, IP_ADAPTER_ADDRESSES *buf,
                            unsigned long *size)
{
    ULONG n = *size;
    ULONG rc = GetAdaptersAddresses(AF_UNSPEC, flags, NULL, buf, &n);
    *size = n;
    return rc;
}

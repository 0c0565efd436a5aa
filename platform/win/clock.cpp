#include "../platform.h"

#include <time.h>

uint64_t plat_wall_ms(void)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t t = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    return t / 10000u;
}

int64_t plat_time_now(void)
{
    return (int64_t)_time64(NULL);
}

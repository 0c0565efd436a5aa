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

void plat_format_utc(int64_t t, const char *pattern, char *buf, size_t cap)
{
    __time64_t tt = (__time64_t)t;
    struct tm tm;
    _gmtime64_s(&tm, &tt);
    if (strftime(buf, cap, pattern, &tm) == 0 && cap > 0)
        buf[0] = '\0';
}

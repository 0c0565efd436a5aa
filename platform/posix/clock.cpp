#include "../platform.h"

#include <time.h>

uint64_t plat_wall_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

int64_t plat_time_now(void)
{
    return (int64_t)time(NULL);
}

void plat_format_utc(int64_t t, const char *pattern, char *buf, size_t cap)
{
    time_t tt = (time_t)t;
    struct tm tm;
    gmtime_r(&tt, &tm);
    if (strftime(buf, cap, pattern, &tm) == 0 && cap > 0)
        buf[0] = '\0';
}

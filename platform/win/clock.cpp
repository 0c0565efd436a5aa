#include "../platform.h"

#include <time.h>

// The performance counter: monotonic, and finer than the system tick's
// 10 to 16 ms, which would turn every loopback connect into 0 or 15 ms.
// Since Windows XP it cannot fail; a frequency of 0 is taken as a clock
// that cannot be read all the same.
uint64_t plat_mono_ms(void)
{
    LARGE_INTEGER count, freq;
    if (!QueryPerformanceFrequency(&freq) || freq.QuadPart <= 0 ||
        !QueryPerformanceCounter(&count) || count.QuadPart < 0)
        return 0;
    uint64_t c = (uint64_t)count.QuadPart, f = (uint64_t)freq.QuadPart;
    // In two steps, so that count * 1000 cannot overflow.
    return c / f * 1000u + c % f * 1000u / f;
}

int64_t plat_time_now(void)
{
    return (int64_t)_time64(NULL);
}

#include "../platform.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// A run reads the clock a handful of times at most, and the vDSO's first
// reading faults in its data pages, which costs more than the system call
// saves. The raw call fills the kernel's struct, which is the C library's
// only where both hold 64-bit seconds and nanoseconds; elsewhere (32-bit
// targets, whatever their time_t) and whenever the call is refused, as a
// seccomp policy may, the C library reads the clock in its own layout.
static int wall_clock(struct timespec *ts)
{
#if defined(SYS_clock_gettime) && defined(__LP64__)
    static_assert(sizeof ts->tv_sec == 8 && sizeof ts->tv_nsec == 8,
                  "the kernel's timespec layout");
    if (syscall(SYS_clock_gettime, CLOCK_REALTIME, ts) == 0)
        return 0;
#endif
    return clock_gettime(CLOCK_REALTIME, ts);
}

uint64_t plat_wall_ms(void)
{
    struct timespec ts;
    if (wall_clock(&ts) != 0)
        return 0;
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

int64_t plat_time_now(void)
{
    struct timespec ts;
    if (wall_clock(&ts) != 0)
        return -1;
    return (int64_t)ts.tv_sec;
}

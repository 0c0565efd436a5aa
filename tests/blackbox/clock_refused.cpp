// Preloaded into a run of the plug-in by the fault suite. As
// TARVIK_CLOCK_FAULT says:
//   unset      no clock can be read, as on a system whose clock_gettime
//              refuses them: neither the wall clock nor the monotonic one;
//   "step:S"   the wall clock jumps S seconds further at every reading
//              after the first, as an NTP step, a virtual machine resumed
//              or a hand-set clock would move it, over and over.
// Every other clock is read from the kernel as usual: straight, not through
// the C library's own function, which a sanitizer's runtime may not have
// found yet when it first asks. The suites run on 64-bit targets only, where
// the kernel's timespec is the C library's.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

extern "C" int clock_gettime(clockid_t id, struct timespec *ts)
{
    static long long readings;
    const char *fault = getenv("TARVIK_CLOCK_FAULT");
    if (!fault || !*fault) {
        if (id == CLOCK_REALTIME || id == CLOCK_MONOTONIC) {
            errno = EINVAL;
            return -1;
        }
    } else if (id == CLOCK_REALTIME && strncmp(fault, "step:", 5) == 0) {
        int rc = (int)syscall(SYS_clock_gettime, id, ts);
        if (rc == 0)
            ts->tv_sec += (time_t)(readings++ * atoll(fault + 5));
        return rc;
    }
    return (int)syscall(SYS_clock_gettime, id, ts);
}

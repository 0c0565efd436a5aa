// Preloaded into a run of the plug-in by the fault suite: the wall clock
// cannot be read, as on a system whose clock_gettime refuses CLOCK_REALTIME.
// Every other clock, the monotonic one the resolver's deadline waits on
// included, is read from the kernel as usual: straight, not through the
// C library's own function, which a sanitizer's runtime may not have found
// yet when it first asks. The suites run on 64-bit targets only, where the
// kernel's timespec is the C library's.
#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

extern "C" int clock_gettime(clockid_t id, struct timespec *ts)
{
    if (id == CLOCK_REALTIME) {
        errno = EINVAL;
        return -1;
    }
    return (int)syscall(SYS_clock_gettime, id, ts);
}

// Preloaded into a run of the plug-in by the fault suite: the wall clock
// cannot be read, as on a system whose clock_gettime refuses CLOCK_REALTIME.
// Every other clock, the monotonic one the resolver's deadline waits on
// included, reads as usual.
#include <dlfcn.h>
#include <errno.h>
#include <time.h>

extern "C" int clock_gettime(clockid_t id, struct timespec *ts)
{
    if (id == CLOCK_REALTIME) {
        errno = EINVAL;
        return -1;
    }
    typedef int (*real_fn)(clockid_t, struct timespec *);
    static real_fn real = (real_fn)dlsym(RTLD_NEXT, "clock_gettime");
    return real ? real(id, ts) : -1;
}

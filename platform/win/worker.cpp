#include "../platform.h"

#include <stdlib.h>

struct plat_thread {
    HANDLE handle;
    plat_thread_fn fn;
    void *arg;
    volatile long refs;
};

// The record is shared by the thread and its starter and released by
// whichever lets go last, so an abandoned thread never touches freed memory.
static void release(plat_thread *t)
{
    if (plat_atomic_dec(&t->refs) == 0)
        free(t);
}

static DWORD WINAPI trampoline(LPVOID p)
{
    plat_thread *t = (plat_thread *)p;
    t->fn(t->arg);
    release(t);
    return 0;
}

plat_thread *plat_thread_start(plat_thread_fn fn, void *arg)
{
    plat_thread *t = (plat_thread *)calloc(1, sizeof *t);
    if (!t)
        return NULL;
    t->fn = fn;
    t->arg = arg;
    t->refs = 2;
    t->handle = CreateThread(NULL, 0, trampoline, t, 0, NULL);
    if (!t->handle) {
        free(t);
        return NULL;
    }
    return t;
}

int plat_thread_wait(plat_thread *t, unsigned ms)
{
    return WaitForSingleObject(t->handle, ms) == WAIT_OBJECT_0;
}

void plat_thread_close(plat_thread *t)
{
    CloseHandle(t->handle);
    release(t);
}

long plat_atomic_dec(volatile long *v)
{
    return InterlockedDecrement(v);
}

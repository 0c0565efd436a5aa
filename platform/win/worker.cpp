#include "../platform.h"

#include <stdlib.h>

// A worker is a thread: it writes into arg itself, so size is not needed.
struct plat_worker {
    HANDLE handle;
    plat_worker_fn fn;
    void *arg;
    volatile long refs;
};

// The record is shared by the thread and its starter and released by
// whichever lets go last, so an abandoned thread never touches freed memory.
static void release(plat_worker *w)
{
    if (InterlockedDecrement(&w->refs) == 0)
        free(w);
}

static DWORD WINAPI trampoline(LPVOID p)
{
    plat_worker *w = (plat_worker *)p;
    w->fn(w->arg);
    release(w);
    return 0;
}

plat_worker *plat_worker_start(plat_worker_fn fn, void *arg, size_t size)
{
    (void)size;
    plat_worker *w = (plat_worker *)calloc(1, sizeof *w);
    if (!w)
        return NULL;
    w->fn = fn;
    w->arg = arg;
    w->refs = 2;
    w->handle = CreateThread(NULL, 0, trampoline, w, 0, NULL);
    if (!w->handle) {
        free(w);
        return NULL;
    }
    return w;
}

int plat_worker_wait(plat_worker *w, unsigned ms)
{
    return WaitForSingleObject(w->handle, ms) == WAIT_OBJECT_0;
}

int plat_worker_close(plat_worker *w)
{
    int ended = WaitForSingleObject(w->handle, 0) == WAIT_OBJECT_0;
    CloseHandle(w->handle);
    release(w);
    return ended;
}

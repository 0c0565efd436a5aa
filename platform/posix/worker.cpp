#include "../platform.h"

#include <pthread.h>
#include <stdlib.h>
#include <time.h>

// POSIX threads have no timed join, so the handle carries a flag and a
// condition variable. The handle is shared by the thread and its starter and
// released by whichever lets go last, so an abandoned thread stays safe.
// A thread seen to finish is joined, so that like its Windows twin the wait
// returns only once the thread has ended: the C library frees a thread's
// resolver state on its way out, and the process must not exit before that.
struct plat_thread {
    pthread_mutex_t lock;
    pthread_cond_t cond;
    pthread_t id;
    int finished;
    int joined;
    volatile long refs;
    plat_thread_fn fn;
    void *arg;
};

static void release(plat_thread *t)
{
    if (plat_atomic_dec(&t->refs) != 0)
        return;
    pthread_cond_destroy(&t->cond);
    pthread_mutex_destroy(&t->lock);
    free(t);
}

static void *trampoline(void *p)
{
    plat_thread *t = (plat_thread *)p;
    t->fn(t->arg);
    pthread_mutex_lock(&t->lock);
    t->finished = 1;
    pthread_cond_signal(&t->cond);
    pthread_mutex_unlock(&t->lock);
    release(t);
    return NULL;
}

plat_thread *plat_thread_start(plat_thread_fn fn, void *arg)
{
    plat_thread *t = (plat_thread *)calloc(1, sizeof *t);
    if (!t)
        return NULL;
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&t->cond, &ca);
    pthread_condattr_destroy(&ca);
    pthread_mutex_init(&t->lock, NULL);
    t->fn = fn;
    t->arg = arg;
    t->refs = 2;
    if (pthread_create(&t->id, NULL, trampoline, t) != 0) {
        pthread_cond_destroy(&t->cond);
        pthread_mutex_destroy(&t->lock);
        free(t);
        return NULL;
    }
    return t;
}

int plat_thread_wait(plat_thread *t, unsigned ms)
{
    struct timespec end;
    // A clock that cannot be read leaves no deadline: the wait gives up at
    // once rather than wait for a time made of whatever the struct held.
    if (clock_gettime(CLOCK_MONOTONIC, &end) != 0)
        end.tv_sec = end.tv_nsec = 0;
    end.tv_sec += ms / 1000;
    end.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (end.tv_nsec >= 1000000000L) {
        end.tv_sec++;
        end.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&t->lock);
    while (!t->finished) {
        if (pthread_cond_timedwait(&t->cond, &t->lock, &end) != 0 && !t->finished)
            break;
    }
    int done = t->finished;
    pthread_mutex_unlock(&t->lock);
    if (done && !t->joined)
        t->joined = pthread_join(t->id, NULL) == 0;
    return done;
}

void plat_thread_close(plat_thread *t)
{
    if (!t->joined)
        pthread_detach(t->id);
    release(t);
}

long plat_atomic_dec(volatile long *v)
{
    return __atomic_sub_fetch(v, 1, __ATOMIC_ACQ_REL);
}

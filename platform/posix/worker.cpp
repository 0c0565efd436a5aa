#include "../platform.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

// A worker is a forked child, not a thread: a program that can start a
// thread on a C library before 2.34 needs libpthread.so.0, and the loader
// opens and maps it at every start (7% of the start-up of the smallest
// dynamic program, measured against glibc 2.36, where it is an empty stub).
// The child sends the size bytes at arg back through a pipe once fn has
// returned, then one byte more: that last byte, not the pipe's end, tells
// the starter that fn finished.
enum { RUNNING, FINISHED, ENDED };

struct plat_worker {
    pid_t pid;
    int fd;
    int state;
    char *arg;
    size_t size;
    size_t got;
};

#define DONE_MARK '.'

static int write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return -1;
        p += k;
        n -= (size_t)k;
    }
    return 0;
}

// A host may end the plug-in early (a client that went away, its own
// timeout): the child must end with it, or it would run on for as long as
// its call takes and hold the host's standard error open all that time.
// The death signal is asked for first; a starter that ended before that
// has left the child to another parent already.
static int die_with_starter(pid_t starter)
{
#ifdef __linux__
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        return -1;
#endif
    return getppid() == starter ? 0 : -1;
}

static void run_child(plat_worker_fn fn, void *arg, size_t size, int fd, pid_t starter)
{
    if (die_with_starter(starter) != 0)
        _exit(1);
    // The request's standard output belongs to the starter alone: a child
    // that held it open would keep the host waiting for the reply's end.
    close(1);
    fn(arg);
    char mark = DONE_MARK;
    if (write_all(fd, (const char *)arg, size) == 0)
        write_all(fd, &mark, 1);
    // Never exit(): that would flush the copy of the starter's stdio
    // buffers and run its exit work a second time.
    _exit(0);
}

plat_worker *plat_worker_start(plat_worker_fn fn, void *arg, size_t size)
{
    plat_worker *w = (plat_worker *)calloc(1, sizeof *w);
    if (!w)
        return NULL;
    int fds[2];
    if (pipe(fds) != 0) {
        free(w);
        return NULL;
    }
    pid_t starter = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        run_child(fn, arg, size, fds[1], starter);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        free(w);
        return NULL;
    }
    w->pid = pid;
    w->fd = fds[0];
    w->state = RUNNING;
    w->arg = (char *)arg;
    w->size = size;
    return w;
}

// Called only for a child that has ended or been killed, so it returns at
// once. Where the host left SIGCHLD ignored the system reaps the child
// itself, and waitpid still waits for its end before failing with ECHILD.
static void reap(plat_worker *w)
{
    while (waitpid(w->pid, NULL, 0) < 0 && errno == EINTR) {
    }
}

int plat_worker_wait(plat_worker *w, unsigned ms)
{
    // The wait is poll's own timeout, so it needs no clock; the clock only
    // shortens a wait that a signal broke off, and one that cannot be read
    // ends it.
    uint64_t start = plat_mono_ms();
    int left = (int)ms;
    while (w->state == RUNNING) {
        struct pollfd in = {w->fd, POLLIN, 0};
        int n = poll(&in, 1, left);
        if (n == 0)
            return 0;
        if (n < 0) {
            uint64_t now = plat_mono_ms();
            if (errno != EINTR || start == 0 || now < start || now - start >= ms)
                return 0;
            left = (int)(ms - (now - start));
            continue;
        }
        char mark;
        ssize_t got = w->got < w->size ? read(w->fd, w->arg + w->got, w->size - w->got)
                                       : read(w->fd, &mark, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got > 0 && w->got < w->size) {
            w->got += (size_t)got;
            continue;
        }
        w->state = got > 0 ? FINISHED : ENDED;
        reap(w);
    }
    return w->state == FINISHED ? 1 : -1;
}

int plat_worker_close(plat_worker *w)
{
    // A child still running is killed and reaped at once, so that no
    // zombie is left for the rest of the request.
    if (w->state == RUNNING && kill(w->pid, SIGKILL) == 0)
        reap(w);
    close(w->fd);
    free(w);
    return 1;
}

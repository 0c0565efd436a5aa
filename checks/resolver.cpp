#include <stdlib.h>
#include <string.h>

#include "../front/limits.h"
#include "../front/query.h"
#include "resolver.h"

// One resolution, shared by the waiting side and the worker. Whichever lets
// go last releases it, so a worker abandoned at the deadline never writes
// into freed memory; the texts are copied in for the same reason.
typedef struct resolve_job {
    char host[HOST_CAP];
    char service[SERVICE_CAP];
    int has_service;
    struct addrinfo *list;
    int error;
    int done;
    volatile long refs;
} resolve_job;

static void job_release(resolve_job *job)
{
    if (plat_atomic_dec(&job->refs) != 0)
        return;
    if (job->list)
        freeaddrinfo(job->list);
    free(job);
}

static void resolve_thread(void *arg)
{
    resolve_job *job = (resolve_job *)arg;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    job->error = plat_getaddrinfo(job->host,
                                  job->has_service ? job->service : NULL,
                                  &hints, &job->list);
    if (job->error != 0)
        job->list = NULL;
    job->done = 1;
    job_release(job);
}

static int forced_timeout(void)
{
    const char *v = plat_getenv("TARVIK_MOCK_TIMEOUT");
    return v && v[0] == '1';
}

int resolve_with_deadline(const char *host, const char *service,
                          struct addrinfo **out)
{
    if (forced_timeout())
        return RESOLVE_TIMEOUT;
    if (mock_resolve(host, service, out) == 0)
        return 0;
    resolve_job *job = (resolve_job *)calloc(1, sizeof *job);
    if (!job)
        return RESOLVE_NO_THREAD;
    str_copy(job->host, sizeof job->host, host);
    str_copy(job->service, sizeof job->service, service);
    job->has_service = service != NULL;
    job->refs = 2;
    plat_thread *t = plat_thread_start(resolve_thread, job);
    if (!t) {
        free(job);
        return RESOLVE_NO_THREAD;
    }
    int finished = plat_thread_wait(t, DNS_TIMEOUT_MS);
    plat_thread_close(t);
    if (!finished) {
        job_release(job);
        return RESOLVE_TIMEOUT;
    }
    int rc = job->error;
    *out = job->list;
    job->list = NULL;
    job_release(job);
    return rc;
}

void free_resolved(struct addrinfo *list)
{
    if (!list)
        return;
    if (!mock_list_forget(list)) {
        freeaddrinfo(list);
        return;
    }
    while (list) {
        struct addrinfo *next = list->ai_next;
        free(list->ai_addr);
        free(list);
        list = next;
    }
}

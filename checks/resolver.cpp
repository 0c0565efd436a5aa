#include <stdlib.h>
#include <string.h>

#include "../front/limits.h"
#include "../front/query.h"
#include "resolver.h"

// One resolution, shared by the waiting side and the worker. The worker
// copies the records it is given into the job, since a worker may be a
// process of its own whose memory the waiting side never sees (the job is
// all that comes back), and the waiting side links them into the list it
// hands out. The list starts the job, so free_resolved releases the job
// through it. The texts are copied in, so that a worker abandoned at the
// deadline never reads its caller's memory.
typedef struct resolve_job {
    struct addrinfo list[RESOLVE_MAX_RECORDS];
    union {
        struct sockaddr_in v4;
        struct sockaddr_in6 v6;
    } addrs[RESOLVE_MAX_RECORDS];
    int count;
    char host[HOST_CAP];
    char service[SERVICE_CAP];
    int has_service;
    int error;
} resolve_job;

static void keep_records(resolve_job *job, const struct addrinfo *r)
{
    for (; r && job->count < RESOLVE_MAX_RECORDS; r = r->ai_next) {
        if (!r->ai_addr || r->ai_addrlen > sizeof job->addrs[0])
            continue;
        struct addrinfo *k = &job->list[job->count];
        k->ai_family = r->ai_family;
        k->ai_socktype = r->ai_socktype;
        k->ai_protocol = r->ai_protocol;
        k->ai_addrlen = r->ai_addrlen;
        memcpy(&job->addrs[job->count], r->ai_addr, r->ai_addrlen);
        job->count++;
    }
}

// getaddrinfo into the job; flags is 0 or AI_NUMERICHOST.
static void resolve_into(resolve_job *job, int flags)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    struct addrinfo *list = NULL;
    job->error = plat_getaddrinfo(job->host,
                                  job->has_service ? job->service : NULL,
                                  &hints, &list);
    if (job->error == 0 && list) {
        keep_records(job, list);
        freeaddrinfo(list);
    }
}

static void resolve_worker(void *arg)
{
    resolve_into((resolve_job *)arg, 0);
}

// The pointers are the waiting side's own: the records came back as bytes.
static struct addrinfo *link_records(resolve_job *job)
{
    for (int i = 0; i < job->count; i++) {
        job->list[i].ai_addr = (struct sockaddr *)&job->addrs[i];
        job->list[i].ai_canonname = NULL;
        job->list[i].ai_next = i + 1 < job->count ? &job->list[i + 1] : NULL;
    }
    return job->count ? job->list : NULL;
}

static int forced_timeout(void)
{
    const char *v = plat_getenv("TARVIK_MOCK_TIMEOUT");
    return v && v[0] == '1';
}

// The job's outcome as resolve_with_deadline hands it out.
static int job_result(resolve_job *job, struct addrinfo **out)
{
    int rc = job->error;
    struct addrinfo *list = rc == 0 ? link_records(job) : NULL;
    if (list)
        *out = list;
    else
        free(job);
    return rc;
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
        return RESOLVE_NO_WORKER;
    str_copy(job->host, sizeof job->host, host);
    str_copy(job->service, sizeof job->service, service);
    job->has_service = service != NULL;
    // An address literal asks no name server, so nothing in its call can
    // block: it is resolved here, and a worker is started only for a name.
    // A literal the resolver does not take as one goes the way of a name.
    resolve_into(job, AI_NUMERICHOST);
    if (job->error == 0 && job->count > 0)
        return job_result(job, out);
    job->error = 0;
    job->count = 0;
    plat_worker *t = plat_worker_start(resolve_worker, job, sizeof *job);
    if (!t) {
        free(job);
        return RESOLVE_NO_WORKER;
    }
    int finished = plat_worker_wait(t, DNS_TIMEOUT_MS);
    // On Windows a thread abandoned at the deadline may still write into the
    // job, which then stays allocated until the process ends.
    int released = plat_worker_close(t);
    if (finished <= 0) {
        if (released)
            free(job);
        // A worker that ended without an answer never finished its call.
        return finished == 0 ? RESOLVE_TIMEOUT : RESOLVE_NO_WORKER;
    }
    return job_result(job, out);
}

void free_resolved(struct addrinfo *list)
{
    if (!list)
        return;
    // A system list is its job's records (resolve_with_deadline).
    if (!mock_list_forget(list)) {
        free(list);
        return;
    }
    while (list) {
        struct addrinfo *next = list->ai_next;
        free(list->ai_addr);
        free(list);
        list = next;
    }
}

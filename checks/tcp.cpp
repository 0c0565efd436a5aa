#include <stdio.h>

#include "../front/actions.h"
#include "../front/limits.h"
#include "../front/output.h"
#include "../front/query.h"
#include "resolver.h"

// A sample is a duration in ms (0 or more) or one of these markers. Every
// marker is written as null; an unmeasured sample connected, but the clock
// could not be read around it, so it counts as open and has no duration.
#define SAMPLE_FAILED (-1LL)
#define SAMPLE_TIMED_OUT (-2LL)
#define SAMPLE_NO_SOCKET (-3LL)
#define SAMPLE_UNMEASURED (-4LL)

enum tcp_status { TCP_CLOSED, TCP_OPEN, TCP_TIMEOUT };
static const char *const STATUS_NAME[] = {"closed", "open", "timeout"};

typedef struct tcp_result {
    long long samples[MAX_SAMPLES];
    int count;
    enum tcp_status status;
    char address[ADDR_TEXT_CAP];
} tcp_result;

// One connect to one record. Returns a duration or SAMPLE_UNMEASURED (it
// connected), SAMPLE_FAILED (this sample ends), SAMPLE_TIMED_OUT or
// SAMPLE_NO_SOCKET (try the next record).
static long long connect_once(const struct addrinfo *r, char *address)
{
    address[0] = '\0';
    plat_socket s = plat_socket_open(r->ai_family, r->ai_socktype, r->ai_protocol);
    if (s == PLAT_BAD_SOCKET)
        return SAMPLE_NO_SOCKET;
    // A socket left blocking would escape the connect's time limit.
    if (plat_socket_nonblocking(s) != 0) {
        plat_socket_close(s);
        return SAMPLE_NO_SOCKET;
    }
    uint64_t start = now_ms();
    int rc = plat_connect_start(s, r->ai_addr, (int)r->ai_addrlen);
    if (rc == PLAT_CONNECT_FAILED) {
        plat_socket_close(s);
        return SAMPLE_FAILED;
    }
    if (rc == PLAT_IN_PROGRESS) {
        if (plat_connect_wait(s, TCP_TIMEOUT_MS) != 1) {
            plat_socket_close(s);
            return SAMPLE_TIMED_OUT;
        }
        if (plat_socket_error(s) != 0) {
            plat_socket_close(s);
            return SAMPLE_FAILED;
        }
    }
    uint64_t end = now_ms();
    addr_text(r->ai_addr, address);
    plat_socket_close(s);
    long long ms = ms_between(start, end);
    if (ms == MS_UNMEASURED)
        return SAMPLE_UNMEASURED;
    return ms < 0 ? 0 : ms;
}

static int connected(long long v)
{
    return v >= 0 || v == SAMPLE_UNMEASURED;
}

// One sample: walks the records until one connects or is refused.
static long long take_sample(const struct addrinfo *list, char *address)
{
    long long last = SAMPLE_NO_SOCKET;
    for (const struct addrinfo *r = list; r; r = r->ai_next) {
        long long v = connect_once(r, address);
        if (connected(v) || v == SAMPLE_FAILED)
            return v;
        last = v;
    }
    return last;
}

static void run_samples(const struct addrinfo *list, tcp_result *res)
{
    res->status = TCP_CLOSED;
    for (int i = 0; i < MAX_SAMPLES; i++) {
        long long v = take_sample(list, res->address);
        res->samples[res->count++] = v;
        if (connected(v))
            res->status = TCP_OPEN;
        if (v == SAMPLE_TIMED_OUT) {
            res->status = TCP_TIMEOUT;
            break;
        }
    }
}

static void write_stats(const tcp_result *res)
{
    long long sum = 0, mn = 0, mx = 0;
    int n = 0;
    for (int i = 0; i < res->count; i++) {
        long long v = res->samples[i];
        if (v < 0)
            continue;
        if (n == 0 || v < mn)
            mn = v;
        if (n == 0 || v > mx)
            mx = v;
        sum += v;
        n++;
    }
    if (n == 0)
        out(",\"avg_ms\":null,\"min_ms\":null,\"max_ms\":null");
    else
        outf(",\"avg_ms\":%.2f,\"min_ms\":%lld,\"max_ms\":%lld",
             (double)sum / n, mn, mx);
}

static void write_document(const char *host, int port, const char *stamp,
                           const tcp_result *res)
{
    out("{\"ok\":true,\"action\":\"tcp\",\"host\":");
    json_str(host);
    outf(",\"port\":%d,\"generated_at\":", port);
    json_str(stamp);
    outf(",\"open\":%s,\"status\":\"%s\",\"address\":",
         res->status == TCP_OPEN ? "true" : "false", STATUS_NAME[res->status]);
    if (res->address[0])
        json_str(res->address);
    else
        out("null");
    out(",\"samples\":[");
    for (int i = 0; i < res->count; i++) {
        if (i)
            out(",");
        if (res->samples[i] < 0)
            out("null");
        else
            outf("%lld", res->samples[i]);
    }
    out("]");
    write_stats(res);
    outf(",\"timeout_ms\":%d}", TCP_TIMEOUT_MS);
}

void action_tcp(const char *query)
{
    char host[HOST_CAP], raw[HOST_CAP], port_text[PORT_CAP];
    if (!get_query_val(query, "host", raw, sizeof raw)) {
        err_json("host required");
        return;
    }
    if (!get_query_val(query, "port", port_text, sizeof port_text)) {
        err_json("port required");
        return;
    }
    str_copy(host, sizeof host, raw);
    str_lower(host);
    if (!host[0] || !valid_host(host)) {
        err_json("invalid host");
        return;
    }
    int port = parse_int_sat(port_text);
    if (port < 1 || port > 65535) {
        err_json("invalid port");
        return;
    }
    char service[SERVICE_CAP], stamp[STAMP_CAP];
    snprintf(service, sizeof service, "%d", port);
    emit_json_head();
    utc_stamp(plat_time_now(), stamp);

    tcp_result res = {{0}, 0, TCP_CLOSED, {0}};
    struct addrinfo *list = NULL;
    int rc = resolve_with_deadline(host, service, &list);
    if (rc == RESOLVE_TIMEOUT) {
        res.samples[res.count++] = SAMPLE_TIMED_OUT;
        res.status = TCP_TIMEOUT;
    } else if (rc != 0 || !list) {
        res.samples[res.count++] = SAMPLE_FAILED;
        free_resolved(list);
    } else {
        run_samples(list, &res);
        free_resolved(list);
    }
    write_document(host, port, stamp, &res);
}

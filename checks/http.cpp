#include <stdio.h>
#include <string.h>

#include "../front/actions.h"
#include "../front/limits.h"
#include "../front/output.h"
#include "../front/query.h"
#include "http_parts.h"
#include "resolver.h"

#define USER_AGENT "quorvex-morv-tarvik/1.0"

// Blocking connect walk over the records; the first that connects wins.
static plat_socket connect_first(const struct addrinfo *list)
{
    for (const struct addrinfo *r = list; r; r = r->ai_next) {
        plat_socket s = plat_socket_open(r->ai_family, r->ai_socktype, r->ai_protocol);
        if (s == PLAT_BAD_SOCKET)
            continue;
        if (plat_connect_blocking(s, r->ai_addr, (int)r->ai_addrlen) == 0)
            return s;
        plat_socket_close(s);
    }
    return PLAT_BAD_SOCKET;
}

static void send_head_request(plat_socket s, const url_parts *u,
                              const char *sent_path)
{
    char req[REQUEST_CAP];
    int len = snprintf(req, sizeof req,
                       "HEAD %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: " USER_AGENT
                       "\r\nAccept: */*\r\nConnection: close\r\n\r\n",
                       sent_path, u->host);
    if (len < 0 || len >= (int)sizeof req)
        len = (int)strlen(req);
    for (int off = 0; off < len;) {
        int n = plat_send(s, req + off, len - off);
        if (n <= 0)
            break;
        off += n;
    }
}

static int ends_with(const char *buf, size_t n, const char *tail, size_t k)
{
    return n >= k && memcmp(buf + n - k, tail, k) == 0;
}

// The read budget is spent once more than READ_TIMEOUT_MS have passed since
// t2. A budget that cannot be measured (the clock could not be read at t2
// or now) must neither make up an answer nor let a slow peer hold the
// check: what the first look found had arrived within one receive timeout,
// so it is taken as it stands, and from then on the budget counts as spent,
// so the next look, bounded by the receive timeout, takes one byte at most.
static int budget_spent(uint64_t t2, int first_look)
{
    uint64_t now = now_ms();
    if (t2 == 0 || now == 0)
        return !first_look;
    return (long long)(now - t2) > READ_TIMEOUT_MS;
}

enum { READ_ON, READ_COMPLETE, READ_CUT };

// How many of the got bytes looked at, at buf + n, to take: each is judged
// as if it had been read alone. A blank line ends the header block; past the
// budget, or at the end of the buffer, reading stops after that byte.
static int bytes_to_take(const char *buf, size_t n, int got, int late, int *end)
{
    for (int take = 1; take <= got; take++) {
        size_t m = n + (size_t)take;
        if (ends_with(buf, m, "\r\n\r\n", 4) || ends_with(buf, m, "\n\n", 2)) {
            *end = READ_COMPLETE;
            return take;
        }
        if (late || m >= RESPONSE_CAP - 1) {
            *end = READ_CUT;
            return take;
        }
    }
    *end = READ_ON;
    return got;
}

// Reads the answer up to the end of its header block and not a byte further:
// it looks at what has arrived without taking it, then takes just the bytes
// up to the blank line. Every byte of one look had arrived when the look
// returned, so one clock reading serves them all, rather than one per byte.
// Returns 1 when the header block was complete.
static int read_answer(plat_socket s, char *buf, size_t *len)
{
    uint64_t t2 = now_ms();
    size_t n = 0;
    int end = READ_ON;
    for (int look = 0; end == READ_ON; look++) {
        int got = plat_recv_peek(s, buf + n, (int)(RESPONSE_CAP - 1 - n));
        if (got <= 0)
            break;
        int take = bytes_to_take(buf, n, got, budget_spent(t2, look == 0), &end);
        int r = plat_recv(s, buf + n, take);
        if (r <= 0) {
            end = READ_CUT;
            break;
        }
        n += (size_t)r;
        if (r < take)
            end = READ_ON;  // the rest is looked at again
    }
    buf[n] = '\0';
    *len = n;
    return end == READ_COMPLETE;
}

static void write_head(const char *url, const url_parts *u, const char *path,
                       const char *stamp)
{
    out("{\"ok\":true,\"action\":\"http\",\"url\":");
    json_str(url);
    out(",\"host\":");
    json_str(u->host);
    outf(",\"port\":%d,\"path\":", u->port);
    json_str(path);
    out(u->tls ? ",\"tls\":\"not_checked\"" : ",\"tls\":false");
    out(",\"generated_at\":");
    json_str(stamp);
}

static void write_failure_tail(const char *note)
{
    out(",\"reachable\":false,\"connect_ms\":null,\"status\":null"
        ",\"status_text\":null,\"header_lines\":0,\"body_bytes_read\":0"
        ",\"note\":");
    json_str(note);
}

static void write_answer_tail(long long connect_ms, long long read_ms,
                              const char *text, size_t len, int complete)
{
    int status = 0;
    char status_text[STATUS_TEXT_CAP];
    int has_status = read_status_line(text, len, &status, status_text);
    out(",\"reachable\":true,\"connect_ms\":");
    out_ms(connect_ms);
    if (has_status) {
        outf(",\"status\":%d,\"status_text\":", status);
        json_str(status_text);
    } else {
        out(",\"status\":null,\"status_text\":null");
    }
    outf(",\"header_lines\":%d,\"body_bytes_read\":0,\"read_ms\":",
         count_header_lines(text));
    out_ms(read_ms);
    outf(",\"headers_complete\":%s", complete ? "true" : "false");
    if (has_status && status >= 300 && status <= 399)
        out(",\"redirect\":\"not_followed\"");
    out("}\n");
}

static void check_target(const char *url, const url_parts *u,
                         const char *sent_path, struct addrinfo *list,
                         const char *stamp)
{
    uint64_t t0 = now_ms();
    plat_socket s = connect_first(list);
    free_resolved(list);
    if (s == PLAT_BAD_SOCKET) {
        write_head(url, u, sent_path, stamp);
        write_failure_tail("tcp connect failed");
        if (u->tls)
            out(",\"tls_note\":\"no TLS library: only the TCP connect to 443 was attempted\"");
        out("}\n");
        return;
    }
    uint64_t t1 = now_ms();
    long long connect_ms = ms_between(t0, t1);
    if (u->tls) {
        plat_socket_close(s);
        write_head(url, u, sent_path, stamp);
        out(",\"reachable\":true,\"connect_ms\":");
        out_ms(connect_ms);
        out(",\"status\":null,\"status_text\":null,\"header_lines\":0,\"body_bytes_read\":0"
            ",\"note\":\"tcp connect succeeded; the TLS handshake was not attempted\"}\n");
        return;
    }
    char answer[RESPONSE_CAP];
    size_t len = 0;
    plat_recv_timeout(s, READ_TIMEOUT_MS);
    send_head_request(s, u, sent_path);
    int complete = read_answer(s, answer, &len);
    uint64_t t3 = now_ms();
    plat_socket_close(s);
    write_head(url, u, sent_path, stamp);
    write_answer_tail(connect_ms, ms_between(t1, t3), answer, len, complete);
}

void action_http(const char *query)
{
    char url[URL_CAP];
    url_parts u;
    if (!get_query_val(query, "url", url, sizeof url)) {
        err_json("url required");
        return;
    }
    if (!url[0] || !parse_url(url, &u)) {
        err_json("invalid url");
        return;
    }
    // The path goes on the wire (and into the document) with its control,
    // space and non-ASCII bytes escaped, so it cannot split the request.
    char sent_path[SENT_PATH_CAP], service[SERVICE_CAP], stamp[STAMP_CAP];
    encode_path(u.path, sent_path, sizeof sent_path);
    snprintf(service, sizeof service, "%d", u.port);
    struct addrinfo *list = NULL;
    int rc = resolve_with_deadline(u.resolve_host, service, &list);
    emit_json_head();
    utc_stamp(plat_time_now(), stamp);
    if (rc == RESOLVE_TIMEOUT || rc != 0 || !list) {
        write_head(url, &u, sent_path, stamp);
        write_failure_tail(rc == RESOLVE_TIMEOUT ? "dns resolution timed out"
                                                 : "host does not resolve");
        out("}");
        free_resolved(list);
        return;
    }
    check_target(url, &u, sent_path, list, stamp);
}

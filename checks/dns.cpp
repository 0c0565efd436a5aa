#include <stdint.h>

#include "../front/actions.h"
#include "../front/limits.h"
#include "../front/output.h"
#include "../front/query.h"
#include "resolver.h"

#define DNS_MAX_RESULTS 16

// Writes one entry per formattable record, at most DNS_MAX_RESULTS.
static int write_results(const struct addrinfo *list)
{
    int count = 0;
    for (const struct addrinfo *r = list; r && count < DNS_MAX_RESULTS;
         r = r->ai_next) {
        char text[ADDR_TEXT_CAP];
        if (addr_text(r->ai_addr, text) == ADDR_NONE)
            continue;
        out(count ? ",{\"address\":" : "{\"address\":");
        json_str(text);
        out(r->ai_family == AF_INET6 ? ",\"family\":\"inet6\"" : ",\"family\":\"inet\"");
        out(",\"canonical\":");
        if (r->ai_canonname && r->ai_canonname[0])
            json_str(r->ai_canonname);
        else
            out("null");
        out("}");
        count++;
    }
    return count;
}

void action_dns(const char *query)
{
    char raw[HOST_CAP], host[HOST_CAP], stamp[STAMP_CAP];
    if (!get_query_val(query, "host", raw, sizeof raw)) {
        err_json("host required");
        return;
    }
    str_copy(host, sizeof host, raw);
    str_lower(host);
    if (!host[0]) {
        err_json("host required");
        return;
    }
    if (!valid_host(host)) {
        err_json("invalid host");
        return;
    }
    emit_json_head();
    utc_stamp(plat_time_now(), stamp);
    struct addrinfo *list = NULL;
    uint64_t t0 = now_ms();
    int rc = resolve_with_deadline(host, NULL, &list);
    long long latency = ms_between(t0, now_ms());

    out("{\"ok\":true,\"action\":\"dns\",\"host\":");
    json_str(host);
    out(",\"generated_at\":");
    json_str(stamp);
    outf(",\"timeout_ms\":%d", DNS_TIMEOUT_MS);
    if (rc == RESOLVE_TIMEOUT) {
        out(",\"resolved\":false,\"timeout\":true,\"code\":null,\"latency_ms\":");
        out_ms(latency);
        out(",\"results\":[],\"count\":0}");
        return;
    }
    if (rc != 0 || !list) {
        outf(",\"resolved\":false,\"timeout\":false,\"code\":%d,\"latency_ms\":", rc);
        out_ms(latency);
        out(",\"results\":[],\"count\":0}");
        free_resolved(list);
        return;
    }
    out(",\"resolved\":true,\"timeout\":false,\"code\":0,\"latency_ms\":");
    out_ms(latency);
    out(",\"results\":[");
    int count = write_results(list);
    free_resolved(list);
    outf("],\"count\":%d}", count);
}

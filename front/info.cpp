#include <stdio.h>

#include "../platform/platform.h"
#include "actions.h"
#include "limits.h"
#include "output.h"

void action_info(void)
{
    char stamp[STAMP_CAP];
    emit_json_head();
    utc_stamp(plat_time_now(), stamp);
    out("{\"ok\":true,\"plugin\":");
    json_str("plugin_tarvik");
    out(",\"slug\":");
    json_str("tarvik");
    out(",\"version\":");
    json_str("1.0.0");
    out(",\"generated_at\":");
    json_str(stamp);
    out(",\"actions\":[\"ifaces\",\"dns\",\"tcp\",\"http\",\"info\"]"
        ",\"tls_library\":false");
    outf(",\"max_samples\":%d,\"dns_timeout_ms\":%d,\"tcp_timeout_ms\":%d"
         ",\"read_timeout_ms\":%d}\n",
         MAX_SAMPLES, DNS_TIMEOUT_MS, TCP_TIMEOUT_MS, READ_TIMEOUT_MS);
}

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
    out(",\"max_samples\":" LIMIT_TEXT(MAX_SAMPLES)
        ",\"dns_timeout_ms\":" LIMIT_TEXT(DNS_TIMEOUT_MS)
        ",\"tcp_timeout_ms\":" LIMIT_TEXT(TCP_TIMEOUT_MS)
        ",\"read_timeout_ms\":" LIMIT_TEXT(READ_TIMEOUT_MS) "}\n");
}

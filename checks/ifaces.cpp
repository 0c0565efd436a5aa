
#include "../front/actions.h"
#include "../front/limits.h"
#include "../front/output.h"
#include "ifaces.h"

iface_entry g_ifaces[MAX_IFACES];
int g_iface_count;
char g_ns[MAX_NAMESERVERS][IFACE_TEXT_CAP];
int g_ns_count;

static void json_text_or_null(const char *s)
{
    if (s[0])
        json_str(s);
    else
        out("null");
}

static void write_iface(const iface_entry *e)
{
    out("{\"name\":");
    json_str(e->name);
    out(",\"address\":");
    json_str(e->address);
    outf(",\"family\":%d,\"netmask\":", e->family);
    json_text_or_null(e->netmask);
    out(",\"broadcast\":");
    json_text_or_null(e->broadcast);
    outf(",\"loopback\":%s,\"up\":%s,\"running\":%s}",
         e->loopback ? "true" : "false", e->up ? "true" : "false",
         e->running ? "true" : "false");
}

static void write_document(void)
{
    char stamp[STAMP_CAP];
    emit_json_head();
    utc_stamp(plat_time_now(), stamp);
    out("{\"ok\":true,\"action\":\"ifaces\",\"generated_at\":");
    json_str(stamp);
    outf(",\"count\":%d,\"interfaces\":[", g_iface_count);
    for (int i = 0; i < g_iface_count; i++) {
        if (i)
            out(",");
        write_iface(&g_ifaces[i]);
    }
    out("],\"nameservers\":[");
    for (int i = 0; i < g_ns_count; i++) {
        if (i)
            out(",");
        json_str(g_ns[i]);
    }
    outf("],\"nameserver_count\":%d}", g_ns_count);
}

void action_ifaces(const char *query)
{
    (void)query;
    g_iface_count = 0;
    const char *mock = plat_getenv("TARVIK_MOCK_IFACES");
    if (mock)
        mock_iface_walk(mock);
    else
        adapter_walk();
    nameserver_walk();
    write_document();
}

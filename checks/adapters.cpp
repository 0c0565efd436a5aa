#include <stdlib.h>
#include <string.h>

#include "../front/limits.h"
#include "../front/query.h"
#include "ifaces.h"
#include "resolver.h"

#define ADAPTER_BUF_FLOOR 2048
#define ADAPTER_BUF_HEADROOM 1024

IP_ADAPTER_ADDRESSES *fetch_adapters(unsigned long flags)
{
    unsigned long size = 0;
    unsigned long rc = plat_adapters(flags, NULL, &size);
    if (rc != NO_ERROR && rc != ERROR_BUFFER_OVERFLOW)
        return NULL;
    if (size < ADAPTER_BUF_FLOOR)
        size = ADAPTER_BUF_FLOOR;
    IP_ADAPTER_ADDRESSES *buf =
        (IP_ADAPTER_ADDRESSES *)malloc(size + ADAPTER_BUF_HEADROOM);
    if (!buf)
        return NULL;
    if (plat_adapters(flags, buf, &size) != NO_ERROR) {
        free(buf);
        return NULL;
    }
    return buf;
}

int is_loopback_text(const char *address)
{
    return strncmp(address, "127.", 4) == 0 || strcmp(address, "::1") == 0;
}

void netmask_text(int prefix, char *buf)
{
    uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
    struct in_addr a;
    a.s_addr = htonl(mask);
    if (!inet_ntop(AF_INET, &a, buf, IFACE_TEXT_CAP))
        buf[0] = '\0';
}

static void adapter_name(const IP_ADAPTER_ADDRESSES *ad, char *name)
{
    if (ad->FriendlyName) {
        int i = 0;
        for (; i < IFACE_TEXT_CAP - 1 && ad->FriendlyName[i]; i++)
            name[i] = (char)(ad->FriendlyName[i] & 0xFF);
        name[i] = '\0';
    } else if (ad->AdapterName) {
        str_copy(name, IFACE_TEXT_CAP, ad->AdapterName);
    } else {
        str_copy(name, IFACE_TEXT_CAP, "adapter");
    }
}

static void add_unicast(const char *name, int up,
                        const IP_ADAPTER_UNICAST_ADDRESS *ua)
{
    const struct sockaddr *sa = ua->Address.lpSockaddr;
    if (!sa || ua->Address.iSockaddrLength < 16)
        return;
    if (g_iface_count >= MAX_IFACES)
        return;
    char text[ADDR_TEXT_CAP];
    int kind = addr_text(sa, text);
    if (kind == ADDR_NONE)
        return;
    iface_entry *e = &g_ifaces[g_iface_count++];
    memset(e, 0, sizeof *e);
    str_copy(e->name, sizeof e->name, name);
    str_copy(e->address, sizeof e->address, text);
    e->family = kind == ADDR_IPV6 ? 6 : 4;
    e->loopback = is_loopback_text(e->address);
    e->up = e->running = up;
    // A prefix of 32 or more gives no netmask, not the all-ones mask.
    if (sa->sa_family == AF_INET && ua->OnLinkPrefixLength <= 31)
        netmask_text(ua->OnLinkPrefixLength, e->netmask);
}

void adapter_walk(void)
{
    IP_ADAPTER_ADDRESSES *list = fetch_adapters(GAA_IFACE_FLAGS);
    for (IP_ADAPTER_ADDRESSES *ad = list; ad; ad = ad->Next) {
        char name[IFACE_TEXT_CAP];
        int up = ad->OperStatus == IfOperStatusUp;
        adapter_name(ad, name);
        for (IP_ADAPTER_UNICAST_ADDRESS *ua = ad->FirstUnicastAddress; ua;
             ua = ua->Next)
            add_unicast(name, up, ua);
    }
    free(list);
}

static void add_nameserver(const SOCKET_ADDRESS *a)
{
    char text[ADDR_TEXT_CAP];
    if (!a->lpSockaddr || a->iSockaddrLength < 16)
        return;
    if (addr_text(a->lpSockaddr, text) == ADDR_NONE)
        return;
    str_trim(text);
    if (!text[0])
        return;
    for (int i = 0; i < g_ns_count; i++)
        if (strcmp(g_ns[i], text) == 0)
            return;
    if (g_ns_count >= MAX_NAMESERVERS)
        return;
    str_copy(g_ns[g_ns_count++], IFACE_TEXT_CAP, text);
}

void nameserver_walk(void)
{
    g_ns_count = 0;
    IP_ADAPTER_ADDRESSES *list = fetch_adapters(GAA_NS_FLAGS);
    for (IP_ADAPTER_ADDRESSES *ad = list; ad; ad = ad->Next)
        for (IP_ADAPTER_DNS_SERVER_ADDRESS *d = ad->FirstDnsServerAddress; d;
             d = d->Next)
            add_nameserver(&d->Address);
    free(list);
}

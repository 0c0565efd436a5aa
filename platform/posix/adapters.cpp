#include "../platform.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <resolv.h>
#include <string.h>

// Builds the adapter records from getifaddrs (one adapter per interface
// name, in the order the system lists them) and the name servers from the
// resolver's own configuration. The records go into the caller's one block,
// exactly as the Windows adapter table does; a first pass only measures.

typedef struct arena {
    char *base;   // NULL while measuring
    size_t used;
} arena;

static void *take(arena *a, size_t n)
{
    a->used = (a->used + 7u) & ~(size_t)7u;
    void *p = a->base ? a->base + a->used : NULL;
    a->used += n;
    if (p)
        memset(p, 0, n);
    return p;
}

static int prefix_length(const struct sockaddr *mask)
{
    const unsigned char *b = NULL;
    int n = 0;
    if (!mask)
        return 0;
    if (mask->sa_family == AF_INET) {
        b = (const unsigned char *)&((const struct sockaddr_in *)mask)->sin_addr;
        n = 4;
    } else if (mask->sa_family == AF_INET6) {
        b = (const unsigned char *)&((const struct sockaddr_in6 *)mask)->sin6_addr;
        n = 16;
    }
    int bits = 0;
    for (int i = 0; i < n; i++)
        for (int k = 7; k >= 0; k--)
            if (b[i] & (1u << k))
                bits++;
    return bits;
}

static size_t sockaddr_size(int family)
{
    if (family == AF_INET)
        return sizeof(struct sockaddr_in);
    if (family == AF_INET6)
        return sizeof(struct sockaddr_in6);
    return 0;
}

static SOCKET_ADDRESS copy_address(arena *a, const struct sockaddr *sa)
{
    SOCKET_ADDRESS out = {NULL, 0};
    size_t n = sockaddr_size(sa->sa_family);
    void *p = take(a, n);
    if (p) {
        memcpy(p, sa, n);
        out.lpSockaddr = (struct sockaddr *)p;
        out.iSockaddrLength = (int)n;
    }
    return out;
}

static int seen_before(struct ifaddrs *all, struct ifaddrs *upto)
{
    for (struct ifaddrs *i = all; i != upto; i = i->ifa_next)
        if (strcmp(i->ifa_name, upto->ifa_name) == 0)
            return 1;
    return 0;
}

static IP_ADAPTER_ADDRESSES *add_adapter(arena *a, struct ifaddrs *first)
{
    IP_ADAPTER_ADDRESSES *ad = (IP_ADAPTER_ADDRESSES *)take(a, sizeof *ad);
    size_t len = strlen(first->ifa_name);
    char *name = (char *)take(a, len + 1);
    uint16_t *wide = (uint16_t *)take(a, (len + 1) * sizeof(uint16_t));
    unsigned flags = 0;
    IP_ADAPTER_UNICAST_ADDRESS **tail = ad ? &ad->FirstUnicastAddress : NULL;
    for (struct ifaddrs *i = first; i; i = i->ifa_next) {
        if (strcmp(i->ifa_name, first->ifa_name) != 0)
            continue;
        flags |= i->ifa_flags;
        if (!i->ifa_addr || sockaddr_size(i->ifa_addr->sa_family) == 0)
            continue;
        IP_ADAPTER_UNICAST_ADDRESS *u =
            (IP_ADAPTER_UNICAST_ADDRESS *)take(a, sizeof *u);
        SOCKET_ADDRESS sa = copy_address(a, i->ifa_addr);
        if (u) {
            u->Address = sa;
            u->OnLinkPrefixLength = (uint8_t)prefix_length(i->ifa_netmask);
            *tail = u;
            tail = &u->Next;
        }
    }
    if (ad) {
        memcpy(name, first->ifa_name, len + 1);
        for (size_t k = 0; k <= len; k++)
            wide[k] = (unsigned char)first->ifa_name[k];
        ad->AdapterName = name;
        ad->FriendlyName = wide;
        // Operationally up is what the kernel reports as up and running.
        ad->OperStatus = ((flags & IFF_UP) && (flags & IFF_RUNNING))
                             ? IfOperStatusUp : IfOperStatusDown;
    }
    return ad;
}

// The servers are read once per call, before measuring, so that both passes
// lay out the same records.
typedef struct dns_servers {
    struct sockaddr_storage addr[MAXNS];
    int count;
} dns_servers;

static void read_dns_servers(dns_servers *out)
{
    struct __res_state st;
    memset(&st, 0, sizeof st);
    out->count = 0;
    if (res_ninit(&st) != 0)
        return;
    for (int i = 0; i < st.nscount && i < MAXNS; i++) {
        const struct sockaddr *sa = NULL;
        if (st.nsaddr_list[i].sin_family == AF_INET)
            sa = (const struct sockaddr *)&st.nsaddr_list[i];
        else if (st._u._ext.nsaddrs[i])
            sa = (const struct sockaddr *)st._u._ext.nsaddrs[i];
        if (!sa || sockaddr_size(sa->sa_family) == 0)
            continue;
        memcpy(&out->addr[out->count++], sa, sockaddr_size(sa->sa_family));
    }
    res_nclose(&st);
}

static void add_dns_servers(arena *a, IP_ADAPTER_ADDRESSES *ad,
                            const dns_servers *ns)
{
    IP_ADAPTER_DNS_SERVER_ADDRESS **tail = ad ? &ad->FirstDnsServerAddress : NULL;
    for (int i = 0; i < ns->count; i++) {
        IP_ADAPTER_DNS_SERVER_ADDRESS *d =
            (IP_ADAPTER_DNS_SERVER_ADDRESS *)take(a, sizeof *d);
        SOCKET_ADDRESS copy =
            copy_address(a, (const struct sockaddr *)&ns->addr[i]);
        if (d) {
            d->Address = copy;
            *tail = d;
            tail = &d->Next;
        }
    }
}

static void build(arena *a, struct ifaddrs *all, const dns_servers *ns)
{
    IP_ADAPTER_ADDRESSES *first = NULL, *prev = NULL;
    for (struct ifaddrs *i = all; i; i = i->ifa_next) {
        if (seen_before(all, i))
            continue;
        IP_ADAPTER_ADDRESSES *ad = add_adapter(a, i);
        if (!first)
            first = ad;
        if (prev)
            prev->Next = ad;
        prev = ad;
    }
    // The name servers are the system's, not an interface's: they hang on
    // the first adapter, which is where the name-server walk finds them.
    if (all)
        add_dns_servers(a, first, ns);
}

unsigned long plat_adapters(unsigned long flags, IP_ADAPTER_ADDRESSES *buf,
                            unsigned long *size)
{
    struct ifaddrs *all = NULL;
    if (getifaddrs(&all) != 0)
        return 1;  // ERROR_INVALID_FUNCTION: the table cannot be read
    dns_servers ns;
    ns.count = 0;
    if (!(flags & GAA_FLAG_SKIP_DNS_SERVER))
        read_dns_servers(&ns);
    arena measure = {NULL, 0};
    build(&measure, all, &ns);
    if (!buf || *size < measure.used) {
        *size = (unsigned long)measure.used;
        freeifaddrs(all);
        return ERROR_BUFFER_OVERFLOW;
    }
    arena fill = {(char *)buf, 0};
    build(&fill, all, &ns);
    freeifaddrs(all);
    return NO_ERROR;
}

#include "../platform.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <resolv.h>
#include <string.h>
#include <unistd.h>

// Builds the adapter records from getifaddrs (one adapter per interface
// name, in the order the system lists them) and the name servers from the
// resolver's own configuration, or from systemd-resolved's list where that
// configuration names only its stub. The records go into the caller's one
// block, exactly as the Windows adapter table does; a first pass only
// measures.

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

// The name servers, read once per run: the adapter table is asked twice for
// them (its size, then its records), and both answers must lay out the same
// records. As many as the name-server list keeps, 16 distinct.
#define NS_CAP 16

typedef struct dns_servers {
    struct sockaddr_storage addr[NS_CAP];
    int count;
} dns_servers;

static dns_servers g_dns;
static int g_dns_read;

// The servers' text is made of the address alone, so a server is the same
// as another when its family and address are: a port or a zone does not
// tell them apart.
static int same_address(const struct sockaddr *a, const struct sockaddr *b)
{
    if (a->sa_family != b->sa_family)
        return 0;
    if (a->sa_family == AF_INET)
        return memcmp(&((const struct sockaddr_in *)a)->sin_addr,
                      &((const struct sockaddr_in *)b)->sin_addr,
                      sizeof(struct in_addr)) == 0;
    return memcmp(&((const struct sockaddr_in6 *)a)->sin6_addr,
                  &((const struct sockaddr_in6 *)b)->sin6_addr,
                  sizeof(struct in6_addr)) == 0;
}

static void keep_server(dns_servers *out, const struct sockaddr *sa)
{
    for (int i = 0; i < out->count; i++)
        if (same_address((const struct sockaddr *)&out->addr[i], sa))
            return;
    if (out->count < NS_CAP)
        memcpy(&out->addr[out->count++], sa, sockaddr_size(sa->sa_family));
}

// A node that runs systemd-resolved names only its local stub (127.0.0.53)
// or its proxy stub (127.0.0.54) in /etc/resolv.conf, which tells nothing
// of where its names are resolved. resolved writes the servers it sends
// them to into this file, in the same format.
#define UPSTREAM_FILE "/run/systemd/resolve/resolv.conf"
#define STUB_ADDRESS 0x7f000035u
#define PROXY_STUB_ADDRESS 0x7f000036u
// Long enough for any "nameserver" line resolved writes; a longer line is
// cut, and its address only taken when it ends within what was kept.
#define LINE_CAP 128

static int only_stubs(const dns_servers *ns)
{
    for (int i = 0; i < ns->count; i++) {
        const struct sockaddr_in *sa = (const struct sockaddr_in *)&ns->addr[i];
        if (sa->sin_family != AF_INET)
            return 0;
        uint32_t a = ntohl(sa->sin_addr.s_addr);
        if (a != STUB_ADDRESS && a != PROXY_STUB_ADDRESS)
            return 0;
    }
    return ns->count > 0;
}

// One line, read as the C library reads its resolv.conf: the keyword at the
// start of the line, then blanks, then the address up to the next blank.
// Any other line, a comment or a blank one among them, is passed over, and
// so is an address with anything but blanks after it. An IPv6 address may
// carry a zone after "%"; the list shows the address alone, as every
// address text of the reply is numeric, so the zone is read past and not
// resolved.
static void upstream_line(char *line, int cut, dns_servers *out)
{
    if (strncmp(line, "nameserver", 10) != 0 ||
        (line[10] != ' ' && line[10] != '\t'))
        return;
    char *text = line + 10;
    while (*text == ' ' || *text == '\t')
        text++;
    size_t n = strcspn(text, " \t");
    if (cut && text[n] == '\0')
        return;
    text[n] = '\0';
    char *zone = strchr(text, '%');
    if (zone)
        *zone = '\0';
    struct sockaddr_storage ss;
    memset(&ss, 0, sizeof ss);
    struct sockaddr_in *v4 = (struct sockaddr_in *)&ss;
    struct sockaddr_in6 *v6 = (struct sockaddr_in6 *)&ss;
    if (!zone && inet_pton(AF_INET, text, &v4->sin_addr) == 1)
        v4->sin_family = AF_INET;
    else if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1)
        v6->sin6_family = AF_INET6;
    else
        return;
    keep_server(out, (const struct sockaddr *)&ss);
}

// The servers in the file, in its order; none when it cannot be read to its
// end.
static void read_upstream(dns_servers *out)
{
    out->count = 0;
    int fd = open(UPSTREAM_FILE, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char chunk[512], line[LINE_CAP];
    size_t len = 0;
    int cut = 0;
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        for (ssize_t i = 0; i < got; i++) {
            if (chunk[i] == '\n') {
                line[len] = '\0';
                upstream_line(line, cut, out);
                len = 0;
                cut = 0;
            } else if (len < LINE_CAP - 1) {
                line[len++] = chunk[i];
            } else {
                cut = 1;
            }
        }
    close(fd);
    if (got < 0) {
        out->count = 0;
        return;
    }
    line[len] = '\0';
    upstream_line(line, cut, out);
}

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
        keep_server(out, sa);
    }
    res_nclose(&st);
    // Where the file is missing or names no server, the stub is what can
    // be told.
    if (only_stubs(out)) {
        dns_servers up;
        read_upstream(&up);
        if (up.count > 0)
            *out = up;
    }
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
    dns_servers none;
    none.count = 0;
    const dns_servers *ns = &none;
    if (!(flags & GAA_FLAG_SKIP_DNS_SERVER)) {
        if (!g_dns_read)
            read_dns_servers(&g_dns);
        g_dns_read = 1;
        ns = &g_dns;
    }
    arena measure = {NULL, 0};
    build(&measure, all, ns);
    if (!buf || *size < measure.used) {
        *size = (unsigned long)measure.used;
        freeifaddrs(all);
        return ERROR_BUFFER_OVERFLOW;
    }
    arena fill = {(char *)buf, 0};
    build(&fill, all, ns);
    freeifaddrs(all);
    return NO_ERROR;
}

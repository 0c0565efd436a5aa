// The interface inventory: the static tables the ifaces action fills and
// the walks that fill them.
#ifndef TARVIK_IFACES_H
#define TARVIK_IFACES_H

#include "../platform/platform.h"

#define MAX_IFACES 128
#define MAX_NAMESERVERS 16
#define IFACE_TEXT_CAP 64
#define MOCK_IFACE_ENTRY_MAX 255

#define GAA_IFACE_FLAGS                                              \
    (GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |               \
     GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_INCLUDE_PREFIX)
#define GAA_NS_FLAGS GAA_FLAG_INCLUDE_PREFIX

typedef struct iface_entry {
    char name[IFACE_TEXT_CAP];
    char address[IFACE_TEXT_CAP];
    char netmask[IFACE_TEXT_CAP];
    char broadcast[IFACE_TEXT_CAP];
    int family;
    int loopback;
    int up;
    int running;
} iface_entry;

extern iface_entry g_ifaces[MAX_IFACES];
extern int g_iface_count;
extern char g_ns[MAX_NAMESERVERS][IFACE_TEXT_CAP];
extern int g_ns_count;

IP_ADAPTER_ADDRESSES *fetch_adapters(unsigned long flags);
void mock_iface_walk(const char *value);
void adapter_walk(void);
void nameserver_walk(void);
int is_loopback_text(const char *address);
// Dotted-decimal text of the IPv4 mask with the given prefix length.
void netmask_text(int prefix, char *buf);

#endif

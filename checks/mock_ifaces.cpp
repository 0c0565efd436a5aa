#include <string.h>

#include "../front/query.h"
#include "ifaces.h"

#define MOCK_FIELDS 6

// Splits an entry at its first five bars; the sixth field keeps the rest.
static void split_fields(char *entry, char *field[MOCK_FIELDS])
{
    static char empty[1] = "";
    int n = 0;
    field[n++] = entry;
    for (char *p = entry; *p && n < MOCK_FIELDS; p++) {
        if (*p == '|') {
            *p = '\0';
            field[n++] = p + 1;
        }
    }
    while (n < MOCK_FIELDS)
        field[n++] = empty;
}

// 1 when the walk must stop (the table is full).
static int add_entry(char *entry)
{
    char *f[MOCK_FIELDS];
    split_fields(entry, f);
    unsigned char bytes[16];
    int family;
    struct in_addr mask;
    int has_mask = 0;
    if (inet_pton(AF_INET, f[1], bytes) == 1) {
        family = 4;
        has_mask = f[2][0] && inet_pton(AF_INET, f[2], &mask) == 1;
    } else if (inet_pton(AF_INET6, f[1], bytes) == 1) {
        family = 6;
    } else {
        return 0;
    }
    if (g_iface_count >= MAX_IFACES)
        return 1;
    iface_entry *e = &g_ifaces[g_iface_count++];
    memset(e, 0, sizeof *e);
    str_copy(e->name, sizeof e->name, f[0]);
    str_copy(e->address, sizeof e->address, f[1]);
    e->family = family;
    e->loopback = is_loopback_text(e->address);
    e->up = e->running = f[5][0] == '1';
    if (has_mask && !inet_ntop(AF_INET, &mask, e->netmask, sizeof e->netmask))
        e->netmask[0] = '\0';
    if (f[3][0])
        str_copy(e->broadcast, sizeof e->broadcast, f[3]);
    return 0;
}

void mock_iface_walk(const char *value)
{
    const char *p = value;
    while (*p) {
        const char *comma = strchr(p, ',');
        size_t n = comma ? (size_t)(comma - p) : strlen(p);
        if (n > 0) {
            char entry[MOCK_IFACE_ENTRY_MAX + 1];
            if (n > MOCK_IFACE_ENTRY_MAX)
                n = MOCK_IFACE_ENTRY_MAX;
            memcpy(entry, p, n);
            entry[n] = '\0';
            if (add_entry(entry))
                return;
        }
        if (!comma)
            return;
        p = comma + 1;
    }
}

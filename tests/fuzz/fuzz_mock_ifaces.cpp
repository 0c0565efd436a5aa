// The mock interface table. Before each walk the table is filled with a
// non-zero pattern, so a row that is not cleared shows as an unterminated
// field.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "../../checks/ifaces.h"
#include "fuzz_check.h"

static int terminated(const char *field)
{
    return memchr(field, '\0', IFACE_TEXT_CAP) != NULL;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *text = (char *)malloc(size + 1);
    memcpy(text, data, size);
    text[size] = '\0';
    memset(g_ifaces, 0xA5, sizeof g_ifaces);
    g_iface_count = 0;
    mock_iface_walk(text);

    int entries = 1;
    for (const char *p = text; *p; p++)
        entries += *p == ',';
    CHECK(g_iface_count >= 0 && g_iface_count <= MAX_IFACES);
    CHECK(g_iface_count <= entries);
    for (int i = 0; i < g_iface_count; i++) {
        const iface_entry *e = &g_ifaces[i];
        CHECK(terminated(e->name) && terminated(e->address));
        CHECK(terminated(e->netmask) && terminated(e->broadcast));
        CHECK(e->family == 4 || e->family == 6);
        unsigned char a[16];
        CHECK(inet_pton(e->family == 4 ? AF_INET : AF_INET6, e->address, a) == 1);
        if (e->family == 6)
            CHECK(e->netmask[0] == '\0');
        else if (e->netmask[0])
            CHECK(inet_pton(AF_INET, e->netmask, a) == 1);
        CHECK(e->up == 0 || e->up == 1);
        CHECK(e->running == e->up);
        CHECK(e->loopback == (strncmp(e->address, "127.", 4) == 0 ||
                              strcmp(e->address, "::1") == 0));
        // Every text comes from the value itself.
        CHECK(strstr(text, e->address) != NULL && strstr(text, e->name) != NULL);
        CHECK(strstr(text, e->broadcast) != NULL);
    }
    free(text);
    return 0;
}

#include <stdio.h>
#include <string.h>

#include "../platform/platform.h"
#include "actions.h"
#include "body.h"
#include "limits.h"
#include "output.h"
#include "password.h"
#include "query.h"

#define REFUSAL                                                      \
    "Status: 401 Unauthorized\r\n" JSON_HEAD                         \
    "{\"ok\":false,\"error\":\"invalid node password\"}\n"

static int meta_probe(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--meta") == 0)
        return 1;
    const char *env = plat_getenv("QV_PLUGIN_META");
    return env && *env;
}

static int wants_json(const char *query)
{
    if (strstr(query, "action=") || strstr(query, "format=json"))
        return 1;
    const char *m = plat_getenv("REQUEST_METHOD");
    return m && (strcmp(m, "POST") == 0 || strcmp(m, "PUT") == 0);
}

typedef struct route {
    const char *name;
    void (*handler)(const char *query);
} route;

static const route ROUTES[] = {
    {"ifaces", action_ifaces},
    {"dns", action_dns},
    {"tcp", action_tcp},
    {"http", action_http},
};

static void dispatch(const char *query)
{
    char name[ACTION_NAME_CAP];
    get_query_val(query, "action", name, sizeof name);
    str_lower(name);
    if (!name[0] || strcmp(name, "info") == 0) {
        action_info();
        return;
    }
    for (size_t i = 0; i < sizeof ROUTES / sizeof ROUTES[0]; i++) {
        if (strcmp(name, ROUTES[i].name) == 0) {
            ROUTES[i].handler(query);
            return;
        }
    }
    err_json("unknown action");
}

static void serve(int argc, char **argv)
{
    if (meta_probe(argc, argv)) {
        out(META_LINE);
        return;
    }
    // The body is read before any reply is written, and thrown away. Some
    // hosts write the whole body before they read any output (fcgiwrap, and
    // Apache's mod_cgid over the one socket it hands a program for both
    // directions): a reply larger than the pipe or socket buffer written
    // first would wait for them while they wait for the body. And a program
    // that exits with the body unread resets that socket, and the host
    // drops the reply. The hosts that buffer the body first hand it over at
    // once, so reading it first costs nothing but the reads; with no body
    // announced nothing is read at all.
    drain_body();
    if (plat_net_start() != 0) {
        out(META_LINE);
        return;
    }
    const char *raw = plat_getenv("QUERY_STRING");
    if (!check_node_password(raw)) {
        out(REFUSAL);
        return;
    }
    const char *query = raw ? raw : "";
    if (!wants_json(query)) {
        emit_page();
        return;
    }
    dispatch(query);
}

// Standard output's buffer. A static one spares stdio its questions about
// the descriptor and its heap allocation on the first write. One page holds
// most JSON replies, which then leave in a single write; a longer one (a
// full interface table of 128 entries takes four pages) leaves a page at a
// time, and pieces larger than the buffer (the page) go out unbuffered. The
// host reads standard output as one stream, so the writes' sizes never show.
static char g_out_buf[OUT_BUF_CAP];

int main(int argc, char **argv)
{
    setvbuf(stdout, g_out_buf, _IOFBF, sizeof g_out_buf);
    plat_stdio_init();
    serve(argc, argv);
    // On Windows a resolver thread abandoned at its deadline may still be
    // blocked in the system; the reply is complete, and the process's end
    // ends the thread. A POSIX worker was killed when it was let go of.
    fflush(stdout);
    return 0;
}

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "resolver.h"

#define MOCK_LISTS 16

static struct addrinfo *g_mock_lists[MOCK_LISTS];

int mock_list_register(struct addrinfo *head)
{
    for (int i = 0; i < MOCK_LISTS; i++) {
        if (!g_mock_lists[i]) {
            g_mock_lists[i] = head;
            return 1;
        }
    }
    return 0;
}

int mock_list_forget(struct addrinfo *head)
{
    for (int i = 0; i < MOCK_LISTS; i++) {
        if (g_mock_lists[i] == head) {
            g_mock_lists[i] = NULL;
            return 1;
        }
    }
    return 0;
}

int mock_port(const char *service)
{
    if (!service)
        return 0;
    long v = strtol(service, NULL, 10);
    return v >= 1 && v <= 65535 ? (int)v : 0;
}

static void free_records(struct addrinfo *r)
{
    while (r) {
        struct addrinfo *next = r->ai_next;
        free(r->ai_addr);
        free(r);
        r = next;
    }
}

// 1 with a record, 0 when the token is no address literal, -1 out of memory.
static int make_record(const char *token, int port, struct addrinfo **rec)
{
    struct in_addr v4;
    struct in6_addr v6;
    int family;
    size_t len;
    if (inet_pton(AF_INET, token, &v4) == 1) {
        family = AF_INET;
        len = sizeof(struct sockaddr_in);
    } else if (inet_pton(AF_INET6, token, &v6) == 1) {
        family = AF_INET6;
        len = sizeof(struct sockaddr_in6);
    } else {
        return 0;
    }
    struct addrinfo *r = (struct addrinfo *)calloc(1, sizeof *r);
    void *sa = calloc(1, len);
    if (!r || !sa) {
        free(r);
        free(sa);
        return -1;
    }
    if (family == AF_INET) {
        struct sockaddr_in *s4 = (struct sockaddr_in *)sa;
        s4->sin_family = AF_INET;
        s4->sin_port = htons((unsigned short)port);
        s4->sin_addr = v4;
    } else {
        struct sockaddr_in6 *s6 = (struct sockaddr_in6 *)sa;
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons((unsigned short)port);
        s6->sin6_addr = v6;
    }
    r->ai_family = family;
    r->ai_socktype = SOCK_STREAM;
    r->ai_addrlen = (socklen_t)len;
    r->ai_addr = (struct sockaddr *)sa;
    *rec = r;
    return 1;
}

// Finds the entry named host; copies its value into value. 1 when found.
// value holds at least MOCK_ENTRY_MAX + 1 bytes.
static int find_entry(const char *table, const char *host, char *value)
{
    size_t hlen = strlen(host);
    const char *p = table;
    while (*p) {
        const char *end = strchr(p, ';');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        const char *eq = (const char *)memchr(p, '=', n);
        if (n > 0 && n <= MOCK_ENTRY_MAX && eq && (size_t)(eq - p) == hlen &&
            memcmp(p, host, hlen) == 0) {
            size_t vlen = n - hlen - 1;
            memcpy(value, eq + 1, vlen);
            value[vlen] = '\0';
            return 1;
        }
        if (!end)
            break;
        p = end + 1;
    }
    return 0;
}

// Splits the value at commas and builds up to MOCK_MAX_RECORDS records.
static int build_list(char *value, int port, struct addrinfo **out)
{
    struct addrinfo *head = NULL, **tail = &head;
    int count = 0;
    char *p = value;
    while (count < MOCK_MAX_RECORDS) {
        char *comma = strchr(p, ',');
        size_t n = comma ? (size_t)(comma - p) : strlen(p);
        char token[MOCK_TOKEN_MAX + 1];
        if (n > MOCK_TOKEN_MAX)
            n = MOCK_TOKEN_MAX;
        memcpy(token, p, n);
        token[n] = '\0';
        while (n > 0 && isspace((unsigned char)token[n - 1]))
            token[--n] = '\0';
        if (n > 0) {
            struct addrinfo *r = NULL;
            int made = make_record(token, port, &r);
            if (made < 0) {
                free_records(head);
                return MOCK_NO_MEMORY;
            }
            if (made) {
                *tail = r;
                tail = &r->ai_next;
                count++;
            }
        }
        if (!comma)
            break;
        p = comma + 1;
    }
    if (head && !mock_list_register(head)) {
        free_records(head);
        return MOCK_NO_MEMORY;
    }
    *out = head;
    return 0;
}

int mock_resolve(const char *host, const char *service, struct addrinfo **out)
{
    const char *table = plat_getenv("TARVIK_MOCK_DNS");
    if (!table)
        return MOCK_NOT_MOCKED;
    char value[MOCK_ENTRY_MAX + 1];
    if (!find_entry(table, host, value))
        return MOCK_NOT_MOCKED;
    if (!value[0]) {
        *out = NULL;
        return 0;
    }
    return build_list(value, mock_port(service), out);
}

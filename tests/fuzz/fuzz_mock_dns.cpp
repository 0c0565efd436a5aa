// The mock DNS table: input is the table, a zero byte, the host, and
// optionally a zero byte and the service text. Whether the host is mocked
// must agree with a plain reading of the table; every list built must be
// well formed and released cleanly (ASan reports a leak or a bad free).
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "../../checks/resolver.h"
#include "fuzz_check.h"

// Entries are split at ';'; one of 1 to 511 bytes names the host when the
// text before its first '=' equals it exactly.
static int ref_mocked(const std::string &table, const std::string &host)
{
    size_t p = 0;
    for (;;) {
        size_t end = table.find(';', p);
        std::string e = table.substr(p, end == std::string::npos ? end : end - p);
        size_t eq = e.find('=');
        if (!e.empty() && e.size() <= 511 && eq == host.size() &&
            e.compare(0, eq, host) == 0)
            return 1;
        if (end == std::string::npos)
            return 0;
        p = end + 1;
    }
}

// setenv keeps every value it was ever given, so millions of runs would
// exhaust memory: the variable points into one buffer of ours instead,
// rewritten in place and replaced only when it must grow.
static void set_table(const std::string &table)
{
    static char *buf;
    static size_t cap;
    static const char name[] = "TARVIK_MOCK_DNS=";
    size_t need = sizeof name + table.size();
    if (need > cap) {
        char *old = buf;
        cap = need < 8192 ? 8192 : need;
        buf = (char *)malloc(cap);
        memcpy(buf, name, sizeof name);
        putenv(buf);
        free(old);
    }
    memcpy(buf + sizeof name - 1, table.c_str(), table.size() + 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string in((const char *)data, size);
    size_t z1 = in.find('\0');
    if (z1 == std::string::npos)
        return 0;
    std::string table = in.substr(0, z1);
    std::string rest = in.substr(z1 + 1);
    size_t z2 = rest.find('\0');
    std::string host = rest.substr(0, z2);
    std::string service;
    if (z2 != std::string::npos)
        service = rest.substr(z2 + 1).c_str();
    const char *svc = z2 != std::string::npos ? service.c_str() : NULL;

    set_table(table);
    struct addrinfo sentinel;
    struct addrinfo *list = &sentinel;
    int rc = mock_resolve(host.c_str(), svc, &list);
    CHECK(rc == 0 || rc == MOCK_NOT_MOCKED);
    CHECK((rc == 0) == ref_mocked(table, host));
    if (rc != 0) {
        CHECK(list == &sentinel);
        return 0;
    }
    CHECK(list != &sentinel);
    int count = 0, port = mock_port(svc);
    for (struct addrinfo *r = list; r; r = r->ai_next) {
        CHECK(++count <= MOCK_MAX_RECORDS);
        CHECK(r->ai_addr != NULL && r->ai_addr->sa_family == r->ai_family);
        CHECK(r->ai_socktype == SOCK_STREAM && r->ai_protocol == 0 && r->ai_flags == 0);
        CHECK(r->ai_canonname == NULL);
        if (r->ai_family == AF_INET) {
            CHECK(r->ai_addrlen == 16);
            CHECK(ntohs(((struct sockaddr_in *)r->ai_addr)->sin_port) == port);
        } else {
            CHECK(r->ai_family == AF_INET6 && r->ai_addrlen == 28);
            CHECK(ntohs(((struct sockaddr_in6 *)r->ai_addr)->sin6_port) == port);
        }
    }
    free_resolved(list);
    return 0;
}

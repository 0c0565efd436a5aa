#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../../checks/resolver.h"
#include "../../platform/platform.h"

namespace {

TEST(ValidHost, Table)
{
    const std::string l253 = std::string(253, 'a');
    const std::string dotted253 = std::string(125, 'a') + "." + std::string(127, 'b');
    const std::string label70 = std::string(70, 'x') + ".test";
    const struct {
        std::string host;
        int valid;
    } cases[] = {
        // Address literals pass before any name rule applies.
        {"192.0.2.1", 1},
        {"::1", 1},
        {"2001:db8::1", 1},
        {"::ffff:192.0.2.1", 1},
        {"[::1]", 0},
        {"fe80::1%eth0", 0},
        // Not literals, so they are judged as names.
        {"999.1.1.1", 1},
        {"1.2.3.4.", 0},
        {"0x7f.1", 1},
        {"a:b", 0},
        // Dots.
        {"a", 1},
        {"a.b", 1},
        {"a..b", 0},
        {".a", 0},
        {"a.", 0},
        {".", 0},
        {"", 0},
        // Length counts the whole text, not labels.
        {l253, 1},
        {l253 + "a", 0},
        {dotted253, 1},
        {dotted253 + "b", 0},
        {label70, 1},
        // Characters: letters, digits, '-' and '_' only, any case.
        {"a_b", 1},
        {"-a-", 1},
        {"MiXeD.Case", 1},
        {"a b", 0},
        {"a/b", 0},
        {"a\tb", 0},
        {"a:80", 0},
        {"caf\xc3\xa9", 0},
        {"a\x80", 0},
        {"\xff", 0},
        // Each end of each range of letters and digits, and the bytes just
        // outside them.
        {"09azAZ", 1},
        {"a0", 1}, {"a9", 1}, {"z", 1}, {"A", 1}, {"Z", 1},
        {"a/", 0}, {"a:", 0}, {"a@", 0}, {"a[", 0}, {"a`", 0}, {"a{", 0},
        {"a,", 0}, {"a^", 0}, {"a\x7f", 0}, {"a\xc0", 0}, {"a\xe9", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.valid, valid_host(c.host.c_str()) ? 1 : 0) << "[" << c.host << "]";
    // None of the C locale's six white-space bytes is a host character, at
    // either end or inside.
    for (const char *w : {" ", "\t", "\n", "\v", "\f", "\r"}) {
        for (const std::string &h : {std::string(w) + "a", "a" + std::string(w), "a" + std::string(w) + "b"})
            EXPECT_EQ(0, valid_host(h.c_str()) ? 1 : 0) << "[" << h << "]";
    }
}

struct rec {
    int family;
    std::string address;
    int port;
};

bool operator==(const rec &a, const rec &b)
{
    return a.family == b.family && a.address == b.address && a.port == b.port;
}

std::ostream &operator<<(std::ostream &os, const rec &r)
{
    return os << r.family << "/" << r.address << "/" << r.port;
}

const rec V4(const char *a, int port = 0) { return rec{AF_INET, a, port}; }
const rec V6(const char *a, int port = 0) { return rec{AF_INET6, a, port}; }

// Runs mock_resolve with the given table, checks the fields every mock
// record must carry, releases the list and returns the records in order.
// The result code goes to *rc.
std::vector<rec> mock(const char *table, const char *host, const char *service,
                      int *rc)
{
    if (table)
        setenv("TARVIK_MOCK_DNS", table, 1);
    else
        unsetenv("TARVIK_MOCK_DNS");
    struct addrinfo *list = NULL;
    *rc = mock_resolve(host, service, &list);
    std::vector<rec> got;
    for (struct addrinfo *r = list; r; r = r->ai_next) {
        EXPECT_EQ(0, r->ai_flags);
        EXPECT_EQ(SOCK_STREAM, r->ai_socktype);
        EXPECT_EQ(0, r->ai_protocol);
        EXPECT_EQ(nullptr, r->ai_canonname);
        EXPECT_NE(nullptr, r->ai_addr);
        EXPECT_EQ(r->ai_family, r->ai_addr->sa_family);
        char text[64];
        const unsigned char *port_bytes;
        if (r->ai_family == AF_INET) {
            EXPECT_EQ(16u, (unsigned)r->ai_addrlen);
            const struct sockaddr_in *s4 = (const struct sockaddr_in *)r->ai_addr;
            static const char zero[8] = {0};
            EXPECT_EQ(0, memcmp(zero, s4->sin_zero, sizeof zero));
            port_bytes = (const unsigned char *)&s4->sin_port;
        } else {
            EXPECT_EQ(AF_INET6, r->ai_family);
            EXPECT_EQ(28u, (unsigned)r->ai_addrlen);
            const struct sockaddr_in6 *s6 = (const struct sockaddr_in6 *)r->ai_addr;
            EXPECT_EQ(0u, s6->sin6_flowinfo);
            EXPECT_EQ(0u, s6->sin6_scope_id);
            port_bytes = (const unsigned char *)&s6->sin6_port;
        }
        EXPECT_NE(ADDR_NONE, addr_text(r->ai_addr, text));
        // Network byte order: the high byte comes first in memory.
        got.push_back(rec{r->ai_family, text, port_bytes[0] << 8 | port_bytes[1]});
    }
    free_resolved(list);
    return got;
}

TEST(MockResolve, Table)
{
    const std::string pad511 = "big.test=192.0.2.1" + std::string(511 - 18, ',');
    const std::string pad512 = pad511 + ",";
    // A token whose first 127 characters are an address and blanks; the
    // text after them is dropped, so the tail does not spoil the literal.
    const std::string cut_token = "c=192.0.2.1" + std::string(127 - 9, ' ') + "junk";
    std::string seventeen = "many.test=";
    for (int i = 1; i <= 17; i++)
        seventeen += (i > 1 ? "," : "") + ("192.0.2." + std::to_string(i));
    std::vector<rec> sixteen;
    for (int i = 1; i <= 16; i++)
        sixteen.push_back(rec{AF_INET, "192.0.2." + std::to_string(i), 0});

    const char *ab = "alpha.test=192.0.2.10,2001:db8::10;beta.test=198.51.100.7";
    const struct {
        std::string table;
        const char *host;
        const char *service;
        int rc;
        std::vector<rec> records;
    } cases[] = {
        {ab, "alpha.test", "443", 0, {V4("192.0.2.10", 443), V6("2001:db8::10", 443)}},
        {ab, "beta.test", NULL, 0, {V4("198.51.100.7")}},
        // Names match byte for byte: case, length and blanks all count.
        {ab, "Alpha.test", "443", MOCK_NOT_MOCKED, {}},
        {ab, "alpha.tes", NULL, MOCK_NOT_MOCKED, {}},
        {ab, "alpha.test2", NULL, MOCK_NOT_MOCKED, {}},
        {"alpha.test=192.0.2.10; beta.test=198.51.100.7", "beta.test", NULL, MOCK_NOT_MOCKED, {}},
        {"alpha.test=192.0.2.10; beta.test=198.51.100.7", " beta.test", NULL, 0, {V4("198.51.100.7")}},
        // Entries without '=' and empty entries are skipped, not fatal.
        {"noequals;;beta.test=192.0.2.5", "beta.test", NULL, 0, {V4("192.0.2.5")}},
        {";;beta.test=192.0.2.5;", "beta.test", NULL, 0, {V4("192.0.2.5")}},
        {"beta.test", "beta.test", NULL, MOCK_NOT_MOCKED, {}},
        // Only the first '=' splits; later ones belong to the value.
        {"a=b=192.0.2.1", "a", NULL, 0, {}},
        {"a=b=192.0.2.1", "a=b", NULL, MOCK_NOT_MOCKED, {}},
        // 511 characters is still an entry; 512 is skipped whole and the
        // walk goes on after it.
        {pad511, "big.test", NULL, 0, {V4("192.0.2.1")}},
        {pad512, "big.test", NULL, MOCK_NOT_MOCKED, {}},
        {pad512 + ";big.test=192.0.2.2", "big.test", NULL, 0, {V4("192.0.2.2")}},
        // The first matching entry wins.
        {"dup.test=192.0.2.1;dup.test=192.0.2.2", "dup.test", NULL, 0, {V4("192.0.2.1")}},
        {"dup.test=;dup.test=192.0.2.2", "dup.test", NULL, 0, {}},
        // Tokens.
        {"h=192.0.2.1,,192.0.2.2", "h", NULL, 0, {V4("192.0.2.1"), V4("192.0.2.2")}},
        {"h=192.0.2.1   ", "h", NULL, 0, {V4("192.0.2.1")}},
        {"h=192.0.2.1\t\r\n\v\f,2001:db8::1 ", "h", NULL, 0, {V4("192.0.2.1"), V6("2001:db8::1")}},
        // Trailing white space, one byte of the six at a time, goes; a byte
        // beside them in the table is no white space and spoils the literal.
        {"h=192.0.2.1 ", "h", NULL, 0, {V4("192.0.2.1")}},
        {"h=192.0.2.1\t", "h", NULL, 0, {V4("192.0.2.1")}},
        {"h=192.0.2.1\n", "h", NULL, 0, {V4("192.0.2.1")}},
        {"h=192.0.2.1\v", "h", NULL, 0, {V4("192.0.2.1")}},
        {"h=192.0.2.1\f", "h", NULL, 0, {V4("192.0.2.1")}},
        {"h=192.0.2.1\r", "h", NULL, 0, {V4("192.0.2.1")}},
        {"h=192.0.2.1\x08", "h", NULL, 0, {}},
        {"h=192.0.2.1\x0e", "h", NULL, 0, {}},
        {"h=192.0.2.1\x1f", "h", NULL, 0, {}},
        {"h=192.0.2.1\x85", "h", NULL, 0, {}},
        {"h=192.0.2.1\xa0", "h", NULL, 0, {}},
        // Leading white space is not removed, whichever of the six it is.
        {"h=\t192.0.2.1", "h", NULL, 0, {}},
        {"h=\v192.0.2.1", "h", NULL, 0, {}},
        {"h=bogus,192.0.2.3", "h", NULL, 0, {V4("192.0.2.3")}},
        {"h=192.0.2.1, 192.0.2.2", "h", NULL, 0, {V4("192.0.2.1")}},
        {"h= 192.0.2.1", "h", NULL, 0, {}},
        {"h=[::1],192.0.2.256,::1", "h", NULL, 0, {V6("::1")}},
        {cut_token, "c", NULL, 0, {V4("192.0.2.1")}},
        {"h=2001:0DB8:0:0:0:0:0:1", "h", NULL, 0, {V6("2001:db8::1")}},
        {seventeen, "many.test", NULL, 0, sixteen},
        // Empty or address-less values match, with no list.
        {"h=", "h", NULL, 0, {}},
        {"h=,,  ,x", "h", NULL, 0, {}},
        {"", "h", NULL, MOCK_NOT_MOCKED, {}},
        // Ports: strtol rules, 1 to 65535 or else 0.
        {"h=192.0.2.1", "h", "0", 0, {V4("192.0.2.1", 0)}},
        {"h=192.0.2.1", "h", "65536", 0, {V4("192.0.2.1", 0)}},
        {"h=192.0.2.1", "h", "abc", 0, {V4("192.0.2.1", 0)}},
        {"h=192.0.2.1", "h", "-80", 0, {V4("192.0.2.1", 0)}},
        {"h=192.0.2.1", "h", "80x", 0, {V4("192.0.2.1", 80)}},
        {"h=192.0.2.1", "h", " +8080", 0, {V4("192.0.2.1", 8080)}},
        {"h=192.0.2.1", "h", "\t80", 0, {V4("192.0.2.1", 80)}},
        {"h=192.0.2.1", "h", "\n80", 0, {V4("192.0.2.1", 80)}},
        {"h=192.0.2.1", "h", "\v80", 0, {V4("192.0.2.1", 80)}},
        {"h=192.0.2.1", "h", "\f80", 0, {V4("192.0.2.1", 80)}},
        {"h=192.0.2.1", "h", "\r80", 0, {V4("192.0.2.1", 80)}},
        {"h=192.0.2.1", "h", "\x08" "80", 0, {V4("192.0.2.1", 0)}},
        {"h=192.0.2.1", "h", "\xa0" "80", 0, {V4("192.0.2.1", 0)}},
        {"h=192.0.2.1", "h", "65535", 0, {V4("192.0.2.1", 65535)}},
        {"h=::1", "h", "258", 0, {V6("::1", 258)}},
    };
    for (const auto &c : cases) {
        int rc = 99;
        std::vector<rec> got = mock(c.table.c_str(), c.host, c.service, &rc);
        std::string where = c.table.substr(0, 80) + " / " + c.host;
        EXPECT_EQ(c.rc, rc) << where;
        EXPECT_EQ(c.records, got) << where;
    }
}

TEST(MockResolve, UnsetTableIsNotMocked)
{
    int rc = 99;
    EXPECT_TRUE(mock(NULL, "h", NULL, &rc).empty());
    EXPECT_EQ(MOCK_NOT_MOCKED, rc);
}

TEST(MockResolve, ManyListsAllReleased)
{
    // Far more lists than could be alive at once: each release must let
    // go of its bookkeeping, or later hits would stop being mocked.
    for (int i = 0; i < 200; i++) {
        int rc = 99;
        ASSERT_EQ(1u, mock("h=192.0.2.1", "h", NULL, &rc).size()) << i;
        ASSERT_EQ(0, rc) << i;
    }
}

TEST(ResolveWithDeadline, ForcedTimeoutAndMock)
{
    setenv("TARVIK_MOCK_DNS", "h.test=192.0.2.1", 1);
    const struct {
        const char *value;
        int rc;
    } cases[] = {{"1", RESOLVE_TIMEOUT}, {"10", RESOLVE_TIMEOUT}, {"0", 0},
                 {"true", 0}, {"", 0}, {NULL, 0}};
    for (const auto &c : cases) {
        if (c.value)
            setenv("TARVIK_MOCK_TIMEOUT", c.value, 1);
        else
            unsetenv("TARVIK_MOCK_TIMEOUT");
        struct addrinfo *list = NULL;
        EXPECT_EQ(c.rc, resolve_with_deadline("h.test", "80", &list)) << c.value;
        EXPECT_EQ(c.rc == 0, list != NULL) << c.value;
        free_resolved(list);
    }
    unsetenv("TARVIK_MOCK_TIMEOUT");
}

TEST(ResolveWithDeadline, MissUsesSystemResolver)
{
    // A literal that the table does not name goes to getaddrinfo in a
    // worker, which answers it without a query.
    setenv("TARVIK_MOCK_DNS", "other.test=192.0.2.1", 1);
    unsetenv("TARVIK_MOCK_TIMEOUT");
    struct addrinfo *list = NULL;
    ASSERT_EQ(0, resolve_with_deadline("198.51.100.9", "443", &list));
    ASSERT_NE(nullptr, list);
    char text[64];
    EXPECT_EQ(ADDR_IPV4, addr_text(list->ai_addr, text));
    EXPECT_STREQ("198.51.100.9", text);
    EXPECT_EQ(443, ntohs(((struct sockaddr_in *)list->ai_addr)->sin_port));
    // One literal, one record: the list ends where the records do.
    EXPECT_EQ(nullptr, list->ai_next);
    free_resolved(list);
    free_resolved(NULL);
    unsetenv("TARVIK_MOCK_DNS");
}

// What a worker leaves in its argument: more than a pipe holds at once, so
// that it comes back in pieces, and the worker's process, to look for after.
struct WorkerNote {
    pid_t pid;
    unsigned char bytes[100000];
};

void worker_fills(void *arg)
{
    WorkerNote *n = (WorkerNote *)arg;
    n->pid = getpid();
    for (size_t i = 0; i < sizeof n->bytes; i++)
        n->bytes[i] = (unsigned char)(i % 255 + 1);
}

// A worker that does not finish tells its process through a pipe of the
// test's own: nothing it writes into its argument comes back.
int g_pid_pipe[2];

void worker_sleeps(void *arg)
{
    pid_t pid = getpid();
    ((WorkerNote *)arg)->pid = pid;
    (void)!write(g_pid_pipe[1], &pid, sizeof pid);
    sleep(20);
}

void worker_dies(void *) { _exit(3); }

TEST(PlatWorker, Table)
{
    const struct {
        const char *name;
        void (*fn)(void *);
        unsigned wait_ms;
        int finished;
        double most_s;
        unsigned signal_ms;  // a handled signal this long into the wait
    } cases[] = {
        {"finishes: its writes come back, the process is gone", worker_fills, 5000, 1, 4.0, 0},
        {"deadline passes: 0, then stopped", worker_sleeps, 300, 0, 2.0, 0},
        // Late enough that a wait begun anew would overrun by a second.
        {"a signal breaks the wait off: it waits on to the deadline, not past it", worker_sleeps,
         2000, 0, 3.0, 1500},
        {"ends without finishing: -1 at once", worker_dies, 5000, -1, 4.0, 0},
    };
    struct sigaction handled = {}, before;
    handled.sa_handler = [](int) {};
    ASSERT_EQ(0, pipe(g_pid_pipe));
    for (const auto &c : cases) {
        static WorkerNote note;
        memset(&note, 0, sizeof note);
        auto t0 = std::chrono::steady_clock::now();
        plat_worker *w = plat_worker_start(c.fn, &note, sizeof note);
        ASSERT_NE(nullptr, w) << c.name;
        if (c.signal_ms) {
            // Without SA_RESTART, and poll is never restarted anyway.
            sigaction(SIGALRM, &handled, &before);
            struct itimerval once = {{0, 0}, {0, (suseconds_t)c.signal_ms * 1000}};
            setitimer(ITIMER_REAL, &once, NULL);
        }
        int finished = plat_worker_wait(w, c.wait_ms);
        if (c.signal_ms)
            sigaction(SIGALRM, &before, NULL);
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(c.finished, finished) << c.name;
        EXPECT_LE(took, c.most_s) << c.name;
        if (c.finished == 0) {
            EXPECT_GE(took, c.wait_ms / 1000.0 - 0.01) << c.name;
        }
        if (c.finished == 1) {
            EXPECT_EQ(nullptr, memchr(note.bytes, 0, sizeof note.bytes)) << c.name;
            EXPECT_EQ(99999 % 255 + 1, note.bytes[99999]) << c.name;
            // Reaped before the wait returned: no such process any more.
            EXPECT_NE(0, note.pid) << c.name;
            EXPECT_EQ(-1, kill(note.pid, 0)) << c.name;
        } else {
            // Only a finished worker's writes come back.
            EXPECT_EQ(0, note.pid) << c.name;
        }
        EXPECT_EQ(1, plat_worker_close(w)) << c.name;
        if (c.finished == 0) {
            // Stopped and reaped when let go of: not even a zombie is left.
            pid_t pid = 0;
            ASSERT_EQ((ssize_t)sizeof pid, read(g_pid_pipe[0], &pid, sizeof pid));
            EXPECT_EQ(-1, kill(pid, 0)) << c.name;
        }
    }
    close(g_pid_pipe[0]);
    close(g_pid_pipe[1]);
}

TEST(AddrText, Families)
{
    char buf[64];
    struct sockaddr_in6 s6;
    memset(&s6, 0, sizeof s6);
    s6.sin6_family = AF_INET6;
    ASSERT_EQ(1, inet_pton(AF_INET6, "2001:0db8:0000:0000:0000:0000:0000:0001", &s6.sin6_addr));
    strcpy(buf, "junk");
    EXPECT_EQ(ADDR_IPV6, addr_text((struct sockaddr *)&s6, buf));
    EXPECT_STREQ("2001:db8::1", buf);

    struct sockaddr_in s4;
    memset(&s4, 0, sizeof s4);
    s4.sin_family = AF_INET;
    s4.sin_addr.s_addr = htonl(0xC0000201);
    EXPECT_EQ(ADDR_IPV4, addr_text((struct sockaddr *)&s4, buf));
    EXPECT_STREQ("192.0.2.1", buf);

    struct sockaddr_un su;
    memset(&su, 0, sizeof su);
    su.sun_family = AF_UNIX;
    strcpy(su.sun_path, "/tmp/x");
    strcpy(buf, "junk");
    EXPECT_EQ(ADDR_NONE, addr_text((struct sockaddr *)&su, buf));
    EXPECT_STREQ("", buf);

    struct sockaddr_storage other;
    memset(&other, 0, sizeof other);
    other.ss_family = AF_UNSPEC;
    strcpy(buf, "junk");
    EXPECT_EQ(ADDR_NONE, addr_text((struct sockaddr *)&other, buf));
    EXPECT_STREQ("", buf);

    EXPECT_EQ(ADDR_NONE, addr_text(NULL, buf));
}

}  // namespace

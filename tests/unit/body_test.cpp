#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "../../front/body.h"
#include "../../front/limits.h"

namespace {

struct length_case {
    const char *content_length;
    const char *transfer_encoding;
    uint64_t want;
};

TEST(BodyLength, CountOrEncoding)
{
    const length_case cases[] = {
        {nullptr, nullptr, 0},
        {"", nullptr, 0},
        {"0", nullptr, 0},
        {"0", "chunked", 0},
        {"1", nullptr, 1},
        {"100", nullptr, 100},
        {"65537", nullptr, 65537},
        {"1048576", "chunked", 1048576},
        {"007", nullptr, 7},
        {"999999999999", nullptr, 999999999999ULL},
        {"1000000000000", nullptr, BODY_TO_END},
        {"99999999999999999999999999", nullptr, BODY_TO_END},
        // Not a count: what a transfer encoding says, or nothing.
        {"-1", nullptr, 0},
        {"+5", nullptr, 0},
        {"12x", nullptr, 0},
        {"x12", nullptr, 0},
        {" 12", nullptr, 0},
        {"12 ", nullptr, 0},
        {"1e3", nullptr, 0},
        {"abc", "chunked", BODY_TO_END},
        {"", "chunked", BODY_TO_END},
        {nullptr, "chunked", BODY_TO_END},
        {nullptr, "", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.want, body_length(c.content_length, c.transfer_encoding))
            << (c.content_length ? c.content_length : "(unset)") << " / "
            << (c.transfer_encoding ? c.transfer_encoding : "(unset)");
}

struct drain_case {
    const char *content_length;
    const char *transfer_encoding;
    std::string sent;  // what the host has written when the run starts
    bool stays_open;   // the host keeps its end open after that
    bool waits;        // the drain waits out the whole budget
    int left;          // bytes still in the pipe afterwards, for a drain that ended
};

// Standard input is a pipe the test holds the other end of. A drain that
// has its body, or sees the end, returns at once; one that waits for more
// returns at the budget: not sooner, and not later than the budget and the
// margin a busy machine needs.
TEST(DrainBody, EndsWithTheBodyOrAtTheBudget)
{
    const drain_case cases[] = {
        {nullptr, nullptr, "", true, false, 0},
        {"5", nullptr, "hello", true, false, 0},
        {"5", nullptr, "hello, more", true, false, 6},
        {"100", nullptr, "hello", false, false, 0},
        {"100", nullptr, "hello", true, true, 0},
        {nullptr, "chunked", "5\r\nhello\r\n", true, true, 0},
        {nullptr, "chunked", "5\r\nhello\r\n0\r\n\r\n", false, false, 0},
    };
    const double budget = BODY_BUDGET_MS / 1000.0;
    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    for (const auto &c : cases) {
        const std::string name = std::string(c.content_length ? c.content_length : "-") + " / " +
                                 (c.transfer_encoding ? c.transfer_encoding : "-") + " / " +
                                 std::to_string(c.sent.size()) + (c.stays_open ? " open" : " closed");
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        ASSERT_EQ((ssize_t)c.sent.size(), write(fds[1], c.sent.data(), c.sent.size()));
        if (!c.stays_open) {
            close(fds[1]);
            fds[1] = -1;
        }
        ASSERT_EQ(0, dup2(fds[0], 0));
        if (c.content_length)
            setenv("CONTENT_LENGTH", c.content_length, 1);
        else
            unsetenv("CONTENT_LENGTH");
        if (c.transfer_encoding)
            setenv("HTTP_TRANSFER_ENCODING", c.transfer_encoding, 1);
        else
            unsetenv("HTTP_TRANSFER_ENCODING");
        // A handled signal late in a wait must neither end it nor start it
        // anew: either would miss a bound below.
        struct sigaction handled = {}, before;
        handled.sa_handler = [](int) {};
        sigaction(SIGALRM, &handled, &before);
        struct itimerval late = {{0, 0}, {1, 800000}}, none = {};
        setitimer(ITIMER_REAL, c.waits ? &late : &none, NULL);
        auto t0 = std::chrono::steady_clock::now();
        drain_body();
        sigaction(SIGALRM, &before, NULL);
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (c.waits) {
            EXPECT_GE(took, budget - 0.01) << name;
            EXPECT_LE(took, budget + 1.5) << name;
        } else {
            EXPECT_LT(took, 1.0) << name;
            // Only the count announced is taken.
            fcntl(fds[0], F_SETFL, O_NONBLOCK);
            char rest[64];
            ssize_t n = read(fds[0], rest, sizeof rest);
            EXPECT_EQ(c.left, n < 0 ? 0 : (int)n) << name;
        }
        // The end lets a reader still waiting go; it sees the pipe, not the
        // next case's.
        if (fds[1] >= 0)
            close(fds[1]);
        dup2(saved, 0);
        close(fds[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(c.waits ? 100 : 0));
    }
    close(saved);
    unsetenv("CONTENT_LENGTH");
    unsetenv("HTTP_TRANSFER_ENCODING");
}

}  // namespace

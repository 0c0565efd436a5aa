#include <gtest/gtest.h>

#include "../../front/body.h"

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

}  // namespace

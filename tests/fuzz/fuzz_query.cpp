// get_query_val over random queries, keys and capacities. The result must
// agree with a plain reading of the lookup and decoding rules, written here
// independently, and never leave its buffer unterminated.
#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "../../front/query.h"
#include "fuzz_check.h"

// The key matches at the start of the query or right after an '&', and
// only when '=' follows it; the first such place wins.
static int ref_lookup(const std::string &q, const std::string &key,
                      std::string *raw)
{
    for (size_t i = 0; i < q.size(); i++) {
        if (i > 0 && q[i - 1] != '&')
            continue;
        if (q.compare(i, key.size(), key) != 0 || i + key.size() >= q.size() ||
            q[i + key.size()] != '=')
            continue;
        size_t start = i + key.size() + 1;
        size_t end = q.find('&', start);
        *raw = q.substr(start, end == std::string::npos ? end : end - start);
        return 1;
    }
    return 0;
}

static std::string ref_decode(const std::string &raw)
{
    std::string out;
    for (size_t i = 0; i < raw.size();) {
        if (raw[i] == '%' && i + 2 < raw.size() &&
            isxdigit((unsigned char)raw[i + 1]) &&
            isxdigit((unsigned char)raw[i + 2])) {
            char hex[3] = {raw[i + 1], raw[i + 2], 0};
            out += (char)strtol(hex, NULL, 16);
            i += 3;
        } else {
            out += raw[i] == '+' ? ' ' : raw[i];
            i++;
        }
    }
    // The caller sees the text up to the first zero byte.
    return out.substr(0, strlen(out.c_str()));
}

static void check_one(const char *query, const char *key, size_t cap)
{
    char *buf = (char *)malloc(cap);
    memset(buf, 'x', cap);
    int found = get_query_val(query, key, buf, cap);
    CHECK(memchr(buf, '\0', cap) != NULL);
    std::string raw;
    int want = query ? ref_lookup(query, key, &raw) : 0;
    CHECK(found == want);
    if (!found) {
        CHECK(buf[0] == '\0');
    } else {
        std::string kept = raw.substr(0, cap - 1);
        CHECK(strlen(buf) <= kept.size());
        CHECK(ref_decode(kept) == buf);
    }
    free(buf);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: key length; then the key; the rest is the query.
    size_t klen = 1 + data[0] % 16;
    if (size < 1 + klen)
        return 0;
    std::string key((const char *)data + 1, klen);
    key = key.substr(0, strlen(key.c_str()));
    if (key.empty())
        return 0;
    std::string query((const char *)data + 1 + klen, size - 1 - klen);
    query = query.substr(0, strlen(query.c_str()));
    // An exact-size copy, so a read past the terminator is caught.
    char *q = (char *)malloc(query.size() + 1);
    memcpy(q, query.c_str(), query.size() + 1);
    static const size_t caps[] = {2, 3, 4, 5, 16, 64, 256, 1024};
    for (size_t cap : caps)
        check_one(q, key.c_str(), cap);
    check_one(q, key.c_str(), 2 + data[size - 1]);
    check_one(NULL, key.c_str(), 8);
    free(q);
    return 0;
}

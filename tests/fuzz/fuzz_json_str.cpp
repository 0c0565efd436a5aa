// json_str writes to standard output, so fd 1 is an unlinked temporary file
// for the whole run, emptied before each input. What was written must be a
// valid JSON string literal that decodes back to the input text.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "../../front/output.h"
#include "fuzz_check.h"

// Runs json_str and returns the bytes it wrote.
static std::string written(const char *s)
{
    static int ready;
    if (!ready) {
        char name[] = "/tmp/tarvik_fuzz_json_XXXXXX";
        int fd = mkstemp(name);
        CHECK(fd >= 0);
        unlink(name);
        fflush(stdout);
        CHECK(dup2(fd, 1) == 1);
        close(fd);
        ready = 1;
    }
    fflush(stdout);
    CHECK(ftruncate(1, 0) == 0);
    rewind(stdout);
    json_str(s);
    fflush(stdout);
    off_t n = lseek(1, 0, SEEK_CUR);
    CHECK(n >= 0);
    std::string out((size_t)n, '\0');
    CHECK(pread(1, &out[0], (size_t)n, 0) == n);
    return out;
}

// Decodes a JSON string literal, stopping the run on anything invalid.
// A \u escape must stand for one ASCII byte: a wider code point would not
// give back the input bytes.
static std::string decode_literal(const std::string &lit)
{
    size_t n = lit.size();
    CHECK(n >= 2 && lit[0] == '"' && lit[n - 1] == '"');
    std::string dec;
    for (size_t i = 1; i < n - 1;) {
        unsigned char c = (unsigned char)lit[i];
        CHECK(c >= 0x20 && c != '"');
        if (c != '\\') {
            dec += (char)c;
            i++;
            continue;
        }
        CHECK(i + 1 < n - 1);
        const char *esc = strchr("\"\\/bfnrt", lit[i + 1]);
        if (lit[i + 1] != 'u') {
            CHECK(esc != NULL && *esc);
            dec += "\"\\/\b\f\n\r\t"[esc - "\"\\/bfnrt"];
            i += 2;
            continue;
        }
        CHECK(i + 5 < n - 1);
        std::string hex = lit.substr(i + 2, 4);
        CHECK(strspn(hex.c_str(), "0123456789abcdefABCDEF") == 4);
        long v = strtol(hex.c_str(), NULL, 16);
        CHECK(v > 0 && v < 0x80);
        dec += (char)v;
        i += 6;
    }
    return dec;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int once;
    if (!once) {
        CHECK(written(NULL) == "\"\"");
        once = 1;
    }
    char *text = (char *)malloc(size + 1);
    memcpy(text, data, size);
    text[size] = '\0';
    CHECK(decode_literal(written(text)) == text);
    free(text);
    return 0;
}

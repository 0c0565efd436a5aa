// The query-string reader and the bounded text operations.
#ifndef TARVIK_QUERY_H
#define TARVIK_QUERY_H

#include <stddef.h>

// Finds key=value in the raw query and writes the decoded value into buf
// (at most cap-1 raw bytes are taken, then decoded in place). 1 when found.
int get_query_val(const char *query, const char *key, char *buf, size_t cap);
void str_copy(char *dst, size_t cap, const char *src);
void str_trim(char *s);
void str_lower(char *s);
// Reads a decimal number as atoi does (leading white space, a sign, digits),
// saturating at the 32-bit limits instead of overflowing.
int parse_int_sat(const char *s);

#endif

// The request body: read and thrown away, never used. Parameters come from
// the query string only.
#ifndef TARVIK_BODY_H
#define TARVIK_BODY_H

#include <stdint.h>

// "Read until the input ends": the length of a body the host sends without
// a count (a chunked request), and of a count too large to mean anything
// else within the budget.
#define BODY_TO_END UINT64_MAX

// How many bytes of body to read, from the host's CONTENT_LENGTH and
// HTTP_TRANSFER_ENCODING (either may be NULL). A count is plain decimal
// digits; anything else counts as no count. Without a count, a body is
// announced only by a transfer encoding, and is then read to its end.
uint64_t body_length(const char *content_length, const char *transfer_encoding);

// Reads the request body the host announced, into a small buffer that is
// overwritten, for at most BODY_BUDGET_MS.
void drain_body(void);

#endif

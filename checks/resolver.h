// Host validation, address formatting and name resolution bounded by
// DNS_TIMEOUT_MS, shared by the dns, tcp and http checks.
#ifndef TARVIK_RESOLVER_H
#define TARVIK_RESOLVER_H

#include "../platform/platform.h"

enum { ADDR_NONE = 0, ADDR_IPV4 = 4, ADDR_IPV6 = 6 };

// Outcomes of resolve_with_deadline besides the resolver's own codes.
#define RESOLVE_TIMEOUT (-1)
#define RESOLVE_NO_WORKER (-4)
// Outcomes of mock_resolve.
#define MOCK_NOT_MOCKED (-1)
#define MOCK_NO_MEMORY (-2)

#define MOCK_MAX_RECORDS 16
// The system resolver's records kept of one resolution, in its order. The
// checks walk them one connect at a time, each connect up to its timeout,
// so no request gets anywhere near the last.
#define RESOLVE_MAX_RECORDS 64
#define MOCK_ENTRY_MAX 511
#define MOCK_TOKEN_MAX 127

int valid_host(const char *host);
int addr_text(const struct sockaddr *sa, char *buf);
int resolve_with_deadline(const char *host, const char *service,
                          struct addrinfo **out);
int mock_resolve(const char *host, const char *service, struct addrinfo **out);
// The port a mocked record carries: the service read as a number, 0 when
// there is none or it is out of range.
int mock_port(const char *service);
void free_resolved(struct addrinfo *list);

// Mock lists are released record by record; these remember which heads the
// mock built so free_resolved can tell the two kinds apart.
int mock_list_register(struct addrinfo *head);
int mock_list_forget(struct addrinfo *head);

#endif

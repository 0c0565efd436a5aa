#ifndef TARVIK_PASSWORD_H
#define TARVIK_PASSWORD_H

// 1 when the request carries the node password (or the node has none).
int check_node_password(const char *query);
// Same bytes and same length, in time that does not depend on where the
// first difference lies.
int same_secret(const char *candidate, const char *secret);

#endif

// The handlers the front routes a JSON request to. Each takes the raw query
// text and writes one complete reply.
#ifndef TARVIK_ACTIONS_H
#define TARVIK_ACTIONS_H

void action_info(void);
void action_ifaces(const char *query);
void action_dns(const char *query);
void action_tcp(const char *query);
void action_http(const char *query);
void emit_page(void);

#endif

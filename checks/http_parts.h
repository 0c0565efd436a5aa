// The pieces of the http check that work on texts alone: the URL parser, the
// request line's path encoding, and the rules read over a received answer.
#ifndef TARVIK_HTTP_PARTS_H
#define TARVIK_HTTP_PARTS_H

#include <stddef.h>

#define URL_HOST_CAP 256
#define URL_PATH_CAP 256
// Every path byte may become three on the wire.
#define SENT_PATH_CAP (3 * (URL_PATH_CAP - 1) + 1)
#define REQUEST_CAP 1280
#define RESPONSE_CAP 2048
#define STATUS_TEXT_CAP 64

typedef struct url_parts {
    char host[URL_HOST_CAP];
    char resolve_host[URL_HOST_CAP];
    int port;
    char path[URL_PATH_CAP];
    int tls;
} url_parts;

// 1 when the decoded URL is usable, 0 when it is refused.
int parse_url(const char *url, url_parts *u);
// Writes path with every control, space, DEL and non-ASCII byte as %XX.
void encode_path(const char *path, char *out, size_t cap);
// Status line of a received answer: 1 and the code and text when it is one.
int read_status_line(const char *text, size_t len, int *status,
                     char *status_text);
int count_header_lines(const char *text);

#endif

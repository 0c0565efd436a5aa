// The one interface between the plug-in and the operating system. Everything
// in front/, checks/ and page/ is written against this header; posix/ and win/
// hold its two implementations, with the same file names on both sides.
#ifndef TARVIK_PLATFORM_H
#define TARVIK_PLATFORM_H

#include <stdint.h>
#include <stddef.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
typedef SOCKET plat_socket;
#define PLAT_BAD_SOCKET INVALID_SOCKET
#else
#include <sys/types.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <netdb.h>
typedef int plat_socket;
#define PLAT_BAD_SOCKET (-1)
#include "posix/adapter_records.h"
#endif

// ---- process ----------------------------------------------------------
// Puts standard output in binary mode (no line-end translation) and makes
// a closed peer or a closed standard output harmless (no SIGPIPE).
void plat_stdio_init(void);
// Reads at most len bytes of standard input, waiting as long as it takes,
// also on a descriptor the host made non-blocking: the count, 0 at its end,
// -1 when it cannot be read.
int plat_stdin_read(char *buf, int len);
// Starts the socket library. 0 on success.
int plat_net_start(void);

// The value of an environment variable as UTF-8 bytes; NULL when unset.
const char *plat_getenv(const char *name);

// ---- time -------------------------------------------------------------
// Wall clock in milliseconds (not monotonic; only differences are used);
// 0 when the clock cannot be read.
uint64_t plat_wall_ms(void);
// Current time in whole seconds since 1970-01-01 UTC; -1 when the clock
// cannot be read.
int64_t plat_time_now(void);

// ---- threads ----------------------------------------------------------
typedef struct plat_thread plat_thread;
typedef void (*plat_thread_fn)(void *arg);
// Starts fn(arg) on a new thread. NULL when the thread could not be made.
plat_thread *plat_thread_start(plat_thread_fn fn, void *arg);
// Waits at most ms for the thread. 1 when it finished, 0 at the deadline.
int plat_thread_wait(plat_thread *t, unsigned ms);
// Lets go of the handle without waiting; the thread may still run on.
void plat_thread_close(plat_thread *t);
// Atomic decrement; returns the new value.
long plat_atomic_dec(volatile long *v);

// ---- resolver ---------------------------------------------------------
// getaddrinfo with the failure reported as the Windows Sockets number for
// the condition on every platform (positive; 0 on success).
int plat_getaddrinfo(const char *host, const char *service,
                     const struct addrinfo *hints, struct addrinfo **out);

// ---- sockets ----------------------------------------------------------
enum {
    PLAT_CONNECTED = 0,    // connected at once
    PLAT_IN_PROGRESS = 1,  // non-blocking connect under way
    PLAT_CONNECT_FAILED = 2
};
plat_socket plat_socket_open(int family, int type, int protocol);
void plat_socket_close(plat_socket s);
int plat_socket_nonblocking(plat_socket s);
// Starts a connect on a non-blocking socket.
int plat_connect_start(plat_socket s, const struct sockaddr *a, int len);
// Waits at most ms for a pending connect to finish, either way.
// 1 finished, 0 still pending at the deadline, -1 the wait failed.
int plat_connect_wait(plat_socket s, unsigned ms);
// The socket's pending error (SO_ERROR); -1 when it cannot be read.
int plat_socket_error(plat_socket s);
// Blocking connect; 0 when connected.
int plat_connect_blocking(plat_socket s, const struct sockaddr *a, int len);
void plat_recv_timeout(plat_socket s, unsigned ms);
// send/recv as the system gives them: a count, or 0 or less.
int plat_send(plat_socket s, const char *buf, int len);
int plat_recv(plat_socket s, char *buf, int len);
// recv that leaves the bytes in the socket: what has arrived, up to len,
// waiting (within the receive timeout) only when nothing has.
int plat_recv_peek(plat_socket s, char *buf, int len);

// ---- adapter table ----------------------------------------------------
// Behaves as GetAdaptersAddresses with an unspecified family: NO_ERROR when
// the list was written into buf, ERROR_BUFFER_OVERFLOW when buf is absent or
// smaller than *size (which is then set to the size needed).
unsigned long plat_adapters(unsigned long flags, IP_ADAPTER_ADDRESSES *buf,
                            unsigned long *size);

#endif

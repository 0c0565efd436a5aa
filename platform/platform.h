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
// Reads at most len bytes of standard input, waiting at most ms for them
// (PLAT_WAIT_FOREVER: as long as it takes), also on a descriptor the host
// made non-blocking: the count, 0 at its end, -1 when it cannot be read,
// PLAT_STDIN_LATE when nothing came in time or the wait was broken off.
int plat_stdin_read(char *buf, int len, int ms);
#define PLAT_WAIT_FOREVER (-1)
#define PLAT_STDIN_LATE (-2)
// 1 where plat_stdin_read's own wait bounds a read; 0 where it waits as long
// as the input takes whatever ms says, so that only a worker's deadline
// bounds it (a Windows pipe offers nothing to wait on with a timeout).
int plat_stdin_waits(void);
// Starts the socket library. 0 on success.
int plat_net_start(void);

// The value of an environment variable as UTF-8 bytes; NULL when unset.
const char *plat_getenv(const char *name);

// ---- time -------------------------------------------------------------
// Milliseconds on a monotonic clock, for every duration and budget: a wall
// clock that is stepped (NTP, a virtual machine resumed, a hand-set clock)
// would bend a difference of two readings, or make a budget never end.
// 0 when the clock cannot be read.
uint64_t plat_mono_ms(void);
// Current time in whole seconds since 1970-01-01 UTC, the one reading of the
// wall clock (for time stamps); -1 when the clock cannot be read.
int64_t plat_time_now(void);

// ---- workers ----------------------------------------------------------
// A worker runs fn(arg) beside the request, to be waited for with a
// deadline. On Windows it is a thread. On POSIX it is a child process: a C
// library before 2.34 keeps its threads in libpthread.so.0, which the
// loader would then open at every start, whatever the request. So a worker
// shares nothing with its starter; what fn leaves in the size bytes at arg
// is copied back once it has finished, and nothing else it writes is seen.
typedef struct plat_worker plat_worker;
typedef void (*plat_worker_fn)(void *arg);
// Starts fn(arg). NULL when the worker could not be made.
plat_worker *plat_worker_start(plat_worker_fn fn, void *arg, size_t size);
// Waits at most ms for the worker. 1 when fn finished (its size bytes at
// arg are then in place), 0 at the deadline, -1 when the worker ended
// without finishing (a process can be killed on its own).
int plat_worker_wait(plat_worker *w, unsigned ms);
// Lets go of the worker without waiting further. 1 when nothing writes into
// arg any more, so that it may be released; 0 when a thread that has not
// finished runs on and may still write into it, which must then stay valid
// until the process ends. A process that has not finished is stopped.
int plat_worker_close(plat_worker *w);

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

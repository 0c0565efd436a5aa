// The adapter records as the POSIX side builds them: the same names and the
// fields the interface walk reads from the Windows adapter table, so that one
// walk serves both systems.
#ifndef TARVIK_ADAPTER_RECORDS_H
#define TARVIK_ADAPTER_RECORDS_H

#include <stdint.h>
#include <sys/socket.h>

#define NO_ERROR 0UL
#define ERROR_BUFFER_OVERFLOW 111UL
#define GAA_FLAG_SKIP_ANYCAST 0x0002UL
#define GAA_FLAG_SKIP_MULTICAST 0x0004UL
#define GAA_FLAG_SKIP_DNS_SERVER 0x0008UL
#define GAA_FLAG_INCLUDE_PREFIX 0x0010UL

enum { IfOperStatusUp = 1, IfOperStatusDown = 2 };

typedef struct SOCKET_ADDRESS {
    struct sockaddr *lpSockaddr;
    int iSockaddrLength;
} SOCKET_ADDRESS;

typedef struct IP_ADAPTER_UNICAST_ADDRESS {
    struct IP_ADAPTER_UNICAST_ADDRESS *Next;
    SOCKET_ADDRESS Address;
    uint8_t OnLinkPrefixLength;
} IP_ADAPTER_UNICAST_ADDRESS;

typedef struct IP_ADAPTER_DNS_SERVER_ADDRESS {
    struct IP_ADAPTER_DNS_SERVER_ADDRESS *Next;
    SOCKET_ADDRESS Address;
} IP_ADAPTER_DNS_SERVER_ADDRESS;

typedef struct IP_ADAPTER_ADDRESSES {
    struct IP_ADAPTER_ADDRESSES *Next;
    char *AdapterName;
    IP_ADAPTER_UNICAST_ADDRESS *FirstUnicastAddress;
    IP_ADAPTER_DNS_SERVER_ADDRESS *FirstDnsServerAddress;
    uint16_t *FriendlyName;  // UTF-16 code units, as on Windows
    int OperStatus;
} IP_ADAPTER_ADDRESSES;

#endif

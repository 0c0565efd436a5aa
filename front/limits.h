// Limits and buffer capacities shared by the front and the checks.
// A capacity counts the terminating zero byte.
#ifndef TARVIK_LIMITS_H
#define TARVIK_LIMITS_H

#define DNS_TIMEOUT_MS 3000
#define TCP_TIMEOUT_MS 3000
#define READ_TIMEOUT_MS 2000
#define MAX_SAMPLES 3
// The longest a run waits for a request body it only throws away.
#define BODY_BUDGET_MS 2000

#define PWD_CAP 256
#define ACTION_NAME_CAP 64
#define HOST_CAP 256
#define PORT_CAP 16
#define URL_CAP 1024
#define SERVICE_CAP 16
#define ADDR_TEXT_CAP 64
#define STAMP_CAP 32
#define OUT_BUF_CAP 4096
#define BODY_BUF_CAP 4096

#endif

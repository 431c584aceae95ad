/* The submit phase: the request body, the scanner of the service's answer,
 * and the posting of the problem until an attempt ends other than
 * transiently. */
#ifndef PEMU_REMOTE_SUBMIT_H
#define PEMU_REMOTE_SUBMIT_H

#include "pemu_internal.h"
#include "remote/config.h"
#include "remote/exchange.h"

namespace pemu::remote {

constexpr size_t kRequestIdMax = 1999;

/* The JSON array of the values: new malloc'ed text, or NULL. */
char *request_body(const uint64_t *values, size_t count);

/* Scans one chunk p[0..n) of the submit answer into resp; returns what
 * libcurl is to see as consumed (0 on a rejection). */
size_t scan_submit_answer(const char *p, size_t n, submit_response_t *resp);

/* Posts x's body to x's submit path with the submit header list; the
 * request id lands in request_id (kRequestIdMax + 1 bytes). */
pemu_status_t submit_problem(remote_call &call, curl_slist *headers,
                             const exchange &x, char *request_id);

} // namespace pemu::remote

#endif

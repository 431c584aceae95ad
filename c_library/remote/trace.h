/* libcurl's transfer trace with the API key masked. */
#ifndef PEMU_REMOTE_TRACE_H
#define PEMU_REMOTE_TRACE_H

#include <curl/curl.h>

namespace pemu::remote {

/* A CURLOPT_DEBUGFUNCTION: the trace as libcurl itself would print it, but
 * with the value of every "x-api-key:" replaced by "***": request headers,
 * and the informational lines in which HTTP/2 restates them. */
int trace_without_key(CURL *, curl_infotype type, char *data, size_t size,
                      void *);

} // namespace pemu::remote

#endif

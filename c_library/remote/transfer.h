/* One transfer: libcurl's handles with their owners, the options every
 * transfer gets, what a transfer may cost, and the message of a failed
 * one. */
#ifndef PEMU_REMOTE_TRANSFER_H
#define PEMU_REMOTE_TRANSFER_H

#include <curl/curl.h>

#include <memory>

#include "pemu_plumbing.h"
#include "remote/admission.h"

namespace pemu::remote {

struct curl_easy_deleter {
    void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
struct curl_slist_deleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using curl_handle_ptr = std::unique_ptr<CURL, curl_easy_deleter>;
using curl_slist_ptr = std::unique_ptr<curl_slist, curl_slist_deleter>;
using c_string_ptr = pemu::malloc_ptr<char>;

/* Any real server is faster than the floor; the deadline caps a transfer
 * that stays just above it. Redirect hops of one poll attempt share the
 * deadline. */
struct transfer_limits {
    long connect_s;
    long floor_bytes_per_s;
    long floor_window_s;
    long deadline_s;
};
constexpr transfer_limits kLimits = {30, 1024, 30, 300};

/* libcurl's global state, set up once per process before the first handle:
 * its set-up is not safe against other threads inside libcurl. */
void init_curl_once(void);

/* Options that every transfer gets beside the request's own: HTTPS only,
 * bounded in time (deadline_ms, or the full deadline when 0), no signals
 * (several threads), cancellable, and a trace that hides the key. */
void set_common_options(CURL *h, call_cancel *cancel, long deadline_ms);

/* The CA location as a file or, for a directory, as a hashed CA path. */
void set_ca(CURL *h, const char *ca);

/* Scheme, host and port of both URLs agree (default ports filled in). */
bool same_origin(const char *a, const char *b);

/* Both phases end on a failed transfer with this one message. */
void curl_failure_text(CURLcode res, char *out, size_t cap);
pemu_status_t fail_with_curl_code(CURLcode res, char *err_buf);

} // namespace pemu::remote

#endif

/* Entries of the solver library: the front door and the remote client's
 * named functions. Each is short; the machinery lives in the rooms:
 *   front/async_worker.cpp   asynchronous requests
 *   remote/client.cpp        one remote call, start to end
 *   remote/config.cpp        environment: base URL, CA, key, retries
 *   remote/admission.cpp     exit safety, cancellation, pauses
 *   remote/transfer.cpp      options and limits of every transfer
 *   remote/trace.cpp         the trace with the key masked
 *   remote/submit.cpp        request body, submit answer scanner, submit
 *   remote/poll.cpp          poll attempts and pauses
 *   remote/answer.cpp        poll body intake; what an answer means
 *   remote/decode.cpp        gzip decoding and the result checks
 *   remote/subset_exchange.cpp  the subset route: body, checked answer */
#include "pemu_internal.h"

#include <curl/curl.h>

#include <stdlib.h>
#include <string.h>

#include "front/front.h"
#include "remote/answer.h"
#include "remote/client.h"
#include "remote/config.h"
#include "remote/decode.h"
#include "remote/submit.h"
#include "solver/driver.h"

/* ---- shared by every room --------------------------------------------- */

extern "C" void _safe_copy_to_err_buff(const char *msg, char *err_buf)
{
    pemu::say("Failed with error: %s\n", msg);
    if (err_buf != NULL) {
        strncpy(err_buf, msg, PEMU_ERR_BUF_SIZE - 1);
        err_buf[PEMU_ERR_BUF_SIZE - 1] = '\0';
    }
}

/* ---- front door ------------------------------------------------------- */

extern "C" int keep_local(void)
{
    const char *v = getenv("PEMU_KILLSWITCH");
    return v != NULL && strcmp(v, "1") == 0;
}

pemu_status_t pemu::front::route(const uint64_t *values, size_t count,
                                 uint64_t total, uint64_t *result,
                                 size_t *result_words, char *err_buf,
                                 const pemu_watch_t *watch)
{
    if (keep_local())
        return pemu::solver::solve(values, count, total, result, result_words,
                                   err_buf, watch);
    /* The service says nothing of how far it is: only the end. */
    const pemu_status_t status = pemu::remote::fetch(
        values, count, total, result, result_words, err_buf, watch);
    if (status == 0 && watch != NULL && watch->progress != NULL)
        watch->progress(1.0, watch->progress_user);
    return status;
}

namespace {

/* The call's one overflow test, then the path. */
pemu_status_t with_total(pemu::path_fn *path, const uint64_t *values, size_t count,
                         uint64_t *result, size_t *result_words, char *err_buf,
                         const pemu_watch_t *watch)
{
    uint64_t total = 0;
    if (pemu::checked_total(values, count, &total, err_buf) != 0)
        return -1;
    return path(values, count, total, result, result_words, err_buf, watch);
}

} // namespace

extern "C" pemu_status_t fetch_complete_subset_sum(uint64_t *values,
                                                   size_t count,
                                                   uint64_t *result,
                                                   size_t *result_words,
                                                   char *err_buf)
{
    return fetch_complete_subset_sum_cancellable(values, count, result,
                                                 result_words, err_buf, NULL,
                                                 NULL);
}

extern "C" pemu_status_t fetch_complete_subset_sum_cancellable(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf, pemu_cancel_t cancel, void *cancel_user)
{
    return fetch_complete_subset_sum_watched(values, count, result,
                                             result_words, err_buf, cancel,
                                             cancel_user, NULL, NULL);
}

extern "C" pemu_status_t fetch_complete_subset_sum_watched(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf, pemu_cancel_t cancel, void *cancel_user,
    pemu_progress_t progress, void *progress_user)
{
    const pemu_watch_t watch = {cancel, cancel_user, progress, progress_user};
    return with_total(pemu::front::route, values, count, result, result_words,
                      err_buf, &watch);
}

extern "C" void *fetch_complete_subset_sum_async_helper(void *record)
{
    pemu::front::run_request(record);
    return NULL;
}

extern "C" pemu_status_t fetch_complete_subset_sum_async_start(
    uint64_t *values, size_t count, callback_t callback, void *user)
{
    return pemu::front::start_worker(values, count, callback, user) == NULL ? 0
                                                                            : -1;
}

extern "C" void fetch_complete_subset_sum_async(uint64_t *values, size_t count,
                                                callback_t callback,
                                                void *user)
{
    const char *failure = pemu::front::start_worker(values, count, callback, user);
    if (failure != NULL) {
        free(values);
        pemu::front::deliver_local_failure(callback, user, failure);
    }
}

extern "C" pemu_status_t pemu_shutdown(unsigned timeout_ms)
{
    return pemu::remote::shut_down(timeout_ms);
}

/* ---- remote client ---------------------------------------------------- */

extern "C" const char *const pemu_curl_ca_locs[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/pki/tls/cacert.pem",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/cert.pem",
    "/etc/ssl/certs",
    "/system/etc/security/cacerts",
    "/usr/local/share/certs",
    "/etc/pki/tls/certs",
    "/etc/openssl/certs",
    "/var/ssl/certs",
};
extern "C" const int pemu_curl_ca_loc_max = 12;

extern "C" pemu_status_t _online_fetch_cancellable(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf, pemu_cancel_t cancel, void *cancel_user)
{
    const pemu_watch_t watch = {cancel, cancel_user, NULL, NULL};
    return with_total(pemu::remote::fetch, values, count, result, result_words,
                      err_buf, &watch);
}

extern "C" pemu_status_t _online_fetch_complete_subset_sum(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf)
{
    return _online_fetch_cancellable(values, count, result, result_words,
                                     err_buf, NULL, NULL);
}

extern "C" struct curl_slist *_generate_slist(int mode)
{
    return pemu::remote::key_headers(mode, NULL);
}

extern "C" char *_generate_curl_data(const uint64_t *values, size_t count)
{
    return pemu::remote::request_body(values, count);
}

extern "C" const char *_curl_ca_location(void)
{
    return pemu::remote::choose_ca().location;
}

extern "C" int _curl_transient_err(int code)
{
    return code == CURLE_OPERATION_TIMEDOUT || code == CURLE_SSL_CONNECT_ERROR;
}

extern "C" size_t make_request_write_callback(char *ptr, size_t size,
                                              size_t nmemb, void *userdata)
{
    (void)size; /* libcurl always passes 1 */
    return pemu::remote::scan_submit_answer(
        ptr, nmemb, static_cast<submit_response_t *>(userdata));
}

extern "C" size_t write_memory_callback(char *contents, size_t size,
                                        size_t nmemb, void *userp)
{
    if (nmemb != 0 && size > SIZE_MAX / nmemb)
        return 0;
    const size_t n = size * nmemb;
    const auto verdict = pemu::remote::take_chunk(
        static_cast<body_buffer_t *>(userp), contents, n);
    return verdict == pemu::remote::chunk_verdict::stored ? n : 0;
}

extern "C" int gunzip(unsigned char *dest, uint64_t *dest_len,
                      const unsigned char *source, uint64_t source_len)
{
    return pemu::remote::gunzip_once(dest, dest_len, source, source_len);
}

extern "C" int _poll_body_error(const char *p, size_t n, char *out, size_t cap)
{
    return pemu::remote::poll_body_error(p, n, out, cap);
}

extern "C" int _unzip_data(body_buffer_t *body, unzip_output_t *out)
{
    return pemu::remote::unzip_words(body, out);
}

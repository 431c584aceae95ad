/* Front door of the solver library: path selection, the asynchronous
 * worker, and the remote solving client. */
#include "pemu_internal.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ==================================================================== */
/* Front door                                                           */
/* ==================================================================== */

extern "C" int keep_local(void)
{
    const char *v = getenv("PEMU_KILLSWITCH");
    return v != NULL && strcmp(v, "1") == 0;
}

extern "C" pemu_status_t fetch_complete_subset_sum(uint64_t *values,
                                                   size_t count,
                                                   uint64_t *result,
                                                   size_t *result_words,
                                                   char *err_buf)
{
    if (keep_local())
        return _fmss_solve(values, count, result, result_words, err_buf);
    return _online_fetch_complete_subset_sum(values, count, result,
                                             result_words, err_buf);
}

/* ==================================================================== */
/* Asynchronous requests                                                */
/* ==================================================================== */

namespace {

struct async_request {
    uint64_t *values; /* owned: freed once the solve is over */
    size_t count;
    callback_t callback;
    void *user;
};

/* Hands a failure to the callback without a result; used when the request
 * cannot even start, so that the caller's user pointer is still released. */
void deliver_local_failure(callback_t callback, void *user, const char *msg)
{
    char err_buf[PEMU_ERR_BUF_SIZE];
    _safe_copy_to_err_buff(msg, err_buf);
    /* The callback frees both; a NULL result is fine for free(). */
    uint64_t *words = static_cast<uint64_t *>(calloc(1, sizeof(uint64_t)));
    char *text = strdup(err_buf);
    callback(-1, words, words != NULL ? 1 : 0, user, text);
}

} // namespace

extern "C" void *fetch_complete_subset_sum_async_helper(void *record)
{
    async_request req = *static_cast<async_request *>(record);
    free(record);

    char err_buf[PEMU_ERR_BUF_SIZE];
    err_buf[0] = '\0';
    uint64_t *buffer = NULL;
    size_t words = 1;
    pemu_status_t status = -1;

    /* The sum must not wrap: a wrapped total would size the buffer too small
     * for the true result. */
    uint64_t total = 0;
    bool overflow = false;
    for (size_t i = 0; i < req.count; i++) {
        if (__builtin_add_overflow(total, req.values[i], &total)) {
            overflow = true;
            break;
        }
    }
    if (overflow) {
        _safe_copy_to_err_buff("[Local failure] overflow on input", err_buf);
    } else if ((buffer = static_cast<uint64_t *>(
                    calloc(total / 64 + 1, sizeof(uint64_t)))) == NULL) {
        _safe_copy_to_err_buff("[Local failure] result buffer allocation failed",
                               err_buf);
    } else {
        words = total / 64 + 1;
        status = fetch_complete_subset_sum(req.values, req.count, buffer,
                                           &words, err_buf);
    }
    free(req.values);

    char *text = NULL;
    if (status != 0) {
        status = -1;
        text = strdup(err_buf); /* may be NULL under memory pressure */
    }
    req.callback(status, buffer, buffer != NULL ? words : 0, req.user, text);
    return NULL;
}

extern "C" void fetch_complete_subset_sum_async(uint64_t *values, size_t count,
                                                callback_t callback,
                                                void *user)
{
    async_request *req =
        static_cast<async_request *>(malloc(sizeof(async_request)));
    if (req == NULL) {
        free(values);
        deliver_local_failure(callback, user,
                              "[Local failure] request allocation failed");
        return;
    }
    *req = async_request{values, count, callback, user};

    pthread_attr_t attr;
    pthread_t thread;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        /* Nobody joins workers; detached threads leave nothing behind. */
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        /* The gzip decoder wants room on the stack; be explicit. */
        pthread_attr_setstacksize(&attr, 1u << 20);
        rc = pthread_create(&thread, &attr,
                            fetch_complete_subset_sum_async_helper, req);
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        free(req);
        free(values);
        deliver_local_failure(callback, user,
                              "[Local failure] worker thread failed to start");
    }
}

/* ==================================================================== */
/* Remote solving client                                                */
/* ==================================================================== */

extern "C" void _safe_copy_to_err_buff(const char *msg, char *err_buf)
{
    printf("Failed with error: %s\n", msg);
    fflush(stdout);
    if (err_buf != NULL) {
        strncpy(err_buf, msg, PEMU_ERR_BUF_SIZE - 1);
        err_buf[PEMU_ERR_BUF_SIZE - 1] = '\0';
    }
}

extern "C" pemu_status_t _online_fetch_complete_subset_sum(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf)
{
    (void)values; (void)count; (void)result; (void)result_words;
    _safe_copy_to_err_buff("[Local failure] remote client not available",
                           err_buf);
    return -1;
}

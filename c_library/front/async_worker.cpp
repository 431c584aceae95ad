/* Asynchronous requests: one detached thread each, which solves and calls
 * back exactly once. */
#include "front/front.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "pemu_internal.h"

namespace pemu::front {

namespace {

struct async_request {
    uint64_t *values; /* owned: freed once the solve is over */
    size_t count;
    callback_t callback;
    void *user;
};

} // namespace

void deliver_local_failure(callback_t callback, void *user, const char *msg)
{
    char err_buf[PEMU_ERR_BUF_SIZE];
    _safe_copy_to_err_buff(msg, err_buf);
    /* The callback frees both; a NULL result is fine for free(). */
    uint64_t *words = static_cast<uint64_t *>(calloc(1, sizeof(uint64_t)));
    char *text = strdup(err_buf);
    callback(-1, words, words != NULL ? 1 : 0, user, text);
}

void run_request(void *record)
{
    async_request req = *static_cast<async_request *>(record);
    free(record);

    char err_buf[PEMU_ERR_BUF_SIZE];
    err_buf[0] = '\0';
    uint64_t *buffer = NULL;
    size_t words = 1;
    pemu_status_t status = -1;

    uint64_t total = 0;
    if (pemu::checked_total(req.values, req.count, &total, err_buf) != 0) {
        /* the message is in err_buf */
    } else if ((buffer = static_cast<uint64_t *>(calloc(
                    pemu::words_for_total(total), sizeof(uint64_t)))) == NULL) {
        _safe_copy_to_err_buff("[Local failure] result buffer allocation failed",
                               err_buf);
    } else {
        words = pemu::words_for_total(total);
        status = route(req.values, req.count, total, buffer, &words, err_buf,
                       NULL);
    }
    free(req.values);

    char *text = NULL;
    if (status != 0) {
        status = -1;
        text = strdup(err_buf); /* may be NULL under memory pressure */
    }
    req.callback(status, buffer, buffer != NULL ? words : 0, req.user, text);
}

const char *start_worker(uint64_t *values, size_t count, callback_t callback,
                         void *user)
{
    async_request *req =
        static_cast<async_request *>(malloc(sizeof(async_request)));
    if (req == NULL)
        return "[Local failure] request allocation failed";
    *req = async_request{values, count, callback, user};

    pthread_attr_t attr;
    pthread_t thread;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        /* Nobody joins workers; detached threads leave nothing behind. */
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        /* The callback runs arbitrary Python code on this thread: give it at
         * least the stack of an ordinary Python thread (the default), and
         * never less than the gzip decoder needs when the default is tiny. */
        const size_t min_stack = size_t{1} << 20;
        size_t stack = 0;
        if (pthread_attr_getstacksize(&attr, &stack) == 0 && stack < min_stack)
            pthread_attr_setstacksize(&attr, min_stack);
        rc = pthread_create(&thread, &attr,
                            fetch_complete_subset_sum_async_helper, req);
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        free(req);
        return "[Local failure] worker thread failed to start";
    }
    return NULL;
}

} // namespace pemu::front

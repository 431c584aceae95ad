/* Public interface of the pemux solver library.
 *
 * A result bitset is an array of 64-bit words: bit s of the answer is bit
 * (s % 64), least significant first, of word s / 64. For a total T it has
 * (T / 64) + 1 words. Error buffers are caller-owned blocks of
 * PEMU_ERR_BUF_SIZE chars that receive a NUL-terminated message on failure.
 */
#ifndef PEMU_LIB_H
#define PEMU_LIB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PEMU_ERR_BUF_SIZE 128

/* 0 on success, -1 on failure. */
typedef int pemu_status_t;

/* Solves values[0..count) into result, which holds *result_words words.
 * The caller owns every buffer. On the local path *result_words becomes the
 * number of words written; the remote path leaves it unchanged.
 * Returns -1 with a message in err_buf (may be NULL) on failure. */
pemu_status_t fetch_complete_subset_sum(uint64_t *values, size_t count,
                                        uint64_t *result, size_t *result_words,
                                        char *err_buf);

/* Completion of an asynchronous request, called exactly once on a worker
 * thread. The callee owns and frees output_binary (always) and err_str
 * (non-NULL only when result != 0). */
typedef void (*callback_t)(pemu_status_t result, uint64_t *output_binary,
                           size_t output_binary_size, void *user,
                           char *err_str);

/* Owns values (malloc'ed); callback runs once: on a new thread, or here with -1 if none starts. */
void fetch_complete_subset_sum_async(uint64_t *values, size_t count,
                                     callback_t callback, void *user);

/* Asked by a remote solve between attempts, during pauses (every 100 ms)
 * and while a transfer runs (at least once a second, more often while data
 * flows); a non-zero answer ends the call with a failure. Runs on the
 * calling thread. */
typedef int (*pemu_cancel_t)(void *cancel_user);

/* As fetch_complete_subset_sum, but the solve also stops, failed, when
 * cancel (may be NULL) answers non-zero: a remote one as above, a local one
 * asks it about every 20 ms, on the calling thread. */
pemu_status_t fetch_complete_subset_sum_cancellable(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf, pemu_cancel_t cancel, void *cancel_user);

/* Told how far a solve has come: fraction from 0.0 to 1.0. */
typedef void (*pemu_progress_t)(double fraction, void *progress_user);

/* As fetch_complete_subset_sum_cancellable, and progress (may be NULL) hears a local solve's fraction at most 10 times a second, then 1.0 once on any success; on the calling thread. */
pemu_status_t fetch_complete_subset_sum_watched(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf, pemu_cancel_t cancel, void *cancel_user,
    pemu_progress_t progress, void *progress_user);

/* As fetch_complete_subset_sum_async, but when no worker can be started it
 * returns -1 at once, takes nothing over (values stays the caller's) and
 * never calls callback. 0 once the worker runs and owns values. */
pemu_status_t fetch_complete_subset_sum_async_start(uint64_t *values,
                                                    size_t count,
                                                    callback_t callback,
                                                    void *user);

/* For the host's exit: every remote request in flight, and every later
 * one, fails at once (transfers aborted, pauses woken); then waits up to
 * timeout_ms until no thread is inside the transfer library. 0 when none
 * is, -1 when the wait timed out. */
pemu_status_t pemu_shutdown(unsigned timeout_ms);

#ifdef __cplusplus
}
#endif

#endif /* PEMU_LIB_H */

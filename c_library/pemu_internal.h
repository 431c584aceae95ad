/* Library-internal declarations, shared by the library sources and their
 * unit tests. Not installed; the module's public face is pemu_lib.h. */
#ifndef PEMU_INTERNAL_H
#define PEMU_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "hdr/pemu_lib.h"
#include "pemu_plumbing.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- front door ---------------------------------------------------- */

/* 1 when PEMU_KILLSWITCH is exactly "1", else 0. Read on every call. */
int keep_local(void);

/* Thread body of an asynchronous request; takes ownership of the record. */
void *fetch_complete_subset_sum_async_helper(void *record);

/* ---- remote client ------------------------------------------------- */

struct curl_slist;

/* Written by make_request_write_callback; owned by the submitting call. */
typedef struct submit_response {
    int32_t status;   /* 0, or -1 once the answer was rejected */
    char *request_id; /* caller's 2000-byte buffer: <= 1999 chars + NUL */
    char *err_msg;    /* heap text on rejection; the caller frees it */
} submit_response_t;

/* A poll body as it arrives; bytes is malloc'ed and owned by the caller. */
typedef struct body_buffer {
    char *bytes;
    size_t length;
} body_buffer_t;

/* Where _unzip_data puts the result; words and word_count are borrowed. */
typedef struct unzip_output {
    uint64_t *words;
    size_t *word_count; /* capacity in words, read only */
    int32_t done;
    int32_t overrun;      /* a non-zero byte lay beyond the capacity */
    size_t words_written; /* words cleared or written, from word 0 on */
} unzip_output_t;

extern const char *const pemu_curl_ca_locs[];
extern const int pemu_curl_ca_loc_max;

pemu_status_t _online_fetch_complete_subset_sum(uint64_t *values, size_t count,
                                                uint64_t *result,
                                                size_t *result_words,
                                                char *err_buf);
/* As above; a remote call also ends, failed, once cancel (may be NULL)
 * answers non-zero or pemu_shutdown has run. */
pemu_status_t _online_fetch_cancellable(uint64_t *values, size_t count,
                                        uint64_t *result, size_t *result_words,
                                        char *err_buf, pemu_cancel_t cancel,
                                        void *cancel_user);
/* New list, or NULL (also for a key with control characters); the caller
 * frees it with curl_slist_free_all. */
struct curl_slist *_generate_slist(int mode);
/* New malloc'ed JSON array text, or NULL; the caller frees it. */
char *_generate_curl_data(const uint64_t *values, size_t count);
/* Entry of the CA table (or PEMU_CA_BUNDLE's value), or NULL. */
const char *_curl_ca_location(void);
int _curl_transient_err(int code);

size_t make_request_write_callback(char *ptr, size_t size, size_t nmemb,
                                   void *userdata);
size_t write_memory_callback(char *contents, size_t size, size_t nmemb,
                             void *userp);
int gunzip(unsigned char *dest, uint64_t *dest_len, const unsigned char *source,
           uint64_t source_len);
/* 1 when the poll body p[0..n) is a JSON object with an "error" member (the
 * service gave up on the job): its text, or for a value that is not a
 * string its JSON text, goes to out (cut to cap - 1, NUL-ended). Else 0. */
int _poll_body_error(const char *p, size_t n, char *out, size_t cap);
/* Z_OK, or the zlib status that stopped the decoding. A non-zero byte
 * beyond the capacity prints "Overrun output size" and sets out->overrun;
 * the stream is then read on only within a budget. */
int _unzip_data(body_buffer_t *body, unzip_output_t *out);

/* ---- local solver -------------------------------------------------- */

/* Sized array: malloc'ed; element 0 is the count n, elements 1..n follow. */
typedef uint32_t sized_ar_t;

pemu_status_t fmss_complete_subset_sum(uint64_t *values, size_t count,
                                       uint64_t *result, size_t *result_words);
/* As above, with a "[Local failure] " message in err_buf (may be NULL). */
pemu_status_t _fmss_solve(const uint64_t *values, size_t count,
                          uint64_t *result, size_t *result_words,
                          char *err_buf);

/* What watches a local solve; every member may be NULL. Asked only on the
 * thread that called the solve: cancel about every 20 ms (non-zero ends the
 * solve, failed), progress at most every 100 ms with the fraction done. */
typedef struct pemu_watch {
    pemu_cancel_t cancel;
    void *cancel_user;
    pemu_progress_t progress;
    void *progress_user;
} pemu_watch_t;

/* As _fmss_solve, watched (watch may be NULL); on success progress hears
 * 1.0 last. Cancelled: -1 with "[Local failure] cancelled". The result of
 * a success is the same as unwatched. */
pemu_status_t _fmss_solve_watched(const uint64_t *values, size_t count,
                                  uint64_t *result, size_t *result_words,
                                  char *err_buf, const pemu_watch_t *watch);

/* Threads for a solve: PEMU_THREADS's value when it is a whole number from
 * 1 up, capped at the cores; the cores (at least 1, at most 64) when it is
 * unset, empty, 0 or anything else. */
int _fmss_thread_count(const char *value, int cores);

/* Test hooks. Force a kernel family ("avx512", "avx2", "portable"), or
 * NULL to go back to PEMU_KERNEL or the best; -1 when this CPU cannot run
 * it. Name the family the next solve uses. Allow or forbid the sorted-list
 * phase. Force the thread count, beyond the cores too (0: PEMU_THREADS
 * again). Set the fewest words a region needs to be shared among threads.
 * The setters return the previous setting. */
int _fmss_select_kernel(const char *name);
const char *_fmss_kernel_name(void);
int _fmss_allow_sum_list(int allow);
int _fmss_force_threads(int n);
size_t _fmss_parallel_min(size_t words);

void update(uint32_t *tree, uint32_t T, uint32_t pos, uint32_t delta);
uint32_t fmss_read(const uint32_t *tree, uint32_t n);
void add_new_sums(uint32_t *origin, const uint32_t *weights, uint32_t *tree,
                  uint32_t T, uint32_t s, uint32_t x);
sized_ar_t *find_new_sums(const uint32_t *origin, const uint32_t *tree,
                          const uint32_t *weights, uint32_t T,
                          uint32_t modulus, uint32_t lo, uint32_t hi,
                          uint32_t x);
/* New sized arrays, or NULL when memory runs out. */
sized_ar_t *empty_sized_ar(void);
sized_ar_t *one_item_sized_ar(uint32_t v);
/* Consumes a and b; may return one of them unchanged; NULL when memory
 * runs out. */
sized_ar_t *union_sized_ar(sized_ar_t *a, sized_ar_t *b);
void print_sized_ar(const sized_ar_t *a);

#ifdef __cplusplus
}
#endif

#endif /* PEMU_INTERNAL_H */

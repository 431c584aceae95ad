/* Plumbing shared by the library's rooms (front door, remote client, local
 * solver) and the binding: diagnostics, failure reporting, ownership of
 * malloc'ed blocks, huge-page advice, and the size of a result. Internal;
 * not installed. */
#ifndef PEMU_PLUMBING_H
#define PEMU_PLUMBING_H

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

#include <memory>

#include "hdr/pemu_lib.h"

/* Prints "Failed with error: <msg>" and copies msg (cut to 127) into err_buf
 * (may be NULL). The only writer of error buffers. */
extern "C" void _safe_copy_to_err_buff(const char *msg, char *err_buf);

/* What watches a solve (pemu_internal.h). */
typedef struct pemu_watch pemu_watch_t;

namespace pemu {

/* printf to standard output, flushed at once: diagnostics keep their order
 * with the interpreter's own output and survive a crash of the host. */
__attribute__((format(printf, 1, 2))) inline void say(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

/* Reports msg as the call's failure; returns the failure status. */
inline pemu_status_t fail(const char *msg, char *err_buf)
{
    _safe_copy_to_err_buff(msg, err_buf);
    return -1;
}

struct free_deleter {
    void operator()(void *p) const { free(p); }
};
/* Owns a malloc'ed block (T may be an array type). */
template <class T>
using malloc_ptr = std::unique_ptr<T, free_deleter>;

/* A large block written once, front to back, costs a page fault per 4 KiB
 * on first touch; huge pages cut that. Only whole huge pages inside the
 * block are advised, and only advice: the kernel may ignore it. */
inline void advise_huge_pages(void *start, size_t bytes)
{
#ifdef MADV_HUGEPAGE
    const uintptr_t huge = uintptr_t(2) << 20;
    if (bytes < 4 * huge)
        return;
    const uintptr_t lo = (uintptr_t(start) + huge - 1) & ~(huge - 1);
    const uintptr_t hi = (uintptr_t(start) + bytes) & ~(huge - 1);
    if (hi > lo)
        madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
}

/* Words of the result bitset for a total T: (T / 64) + 1. */
inline size_t words_for_total(uint64_t total) { return size_t(total / 64) + 1; }

/* The values' total in *total; false when it would pass 2**64 - 1, as a
 * wrapped total would size the result too small. */
inline bool sum_values(const uint64_t *values, size_t count, uint64_t *total)
{
    uint64_t t = 0;
    for (size_t i = 0; i < count; i++)
        if (__builtin_add_overflow(t, values[i], &t))
            return false;
    *total = t;
    return true;
}

/* A path of one request whose values' total is known to fit: the front
 * door's routing, and the remote client. Result, capacity and error buffer
 * as in fetch_complete_subset_sum; watch (pemu_internal.h) may be NULL. */
using path_fn = pemu_status_t(const uint64_t *values, size_t count,
                              uint64_t total, uint64_t *result,
                              size_t *result_words, char *err_buf,
                              const pemu_watch_t *watch);

/* The library's one overflow test with its message: 0 with the total in
 * *total, or the failure. */
inline pemu_status_t checked_total(const uint64_t *values, size_t count,
                                   uint64_t *total, char *err_buf)
{
    if (!sum_values(values, count, total))
        return fail("[Local failure] overflow on input", err_buf);
    return 0;
}

} // namespace pemu

#endif /* PEMU_PLUMBING_H */

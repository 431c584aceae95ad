/* The local solver's engine: exact complete subset sums of the values,
 * written into the caller's result words. */
#ifndef PEMU_SOLVER_DRIVER_H
#define PEMU_SOLVER_DRIVER_H

#include <stddef.h>
#include <stdint.h>

#include "hdr/pemu_lib.h"
#include "pemu_plumbing.h"

namespace pemu::solver {

/* Solves values, whose total (already checked to fit) is total, into
 * result, which holds *result_words words; *result_words becomes the words
 * written. -1 with a "[Local failure] " message in err_buf (may be NULL).
 * watch (may be NULL) is asked on the calling thread; cancelled, the solve
 * fails with "[Local failure] cancelled", else progress hears 1.0 last. */
pemu_status_t solve(const uint64_t *values, size_t count, uint64_t total,
                    uint64_t *result, size_t *result_words, char *err_buf,
                    const pemu_watch_t *watch);

} // namespace pemu::solver

#endif

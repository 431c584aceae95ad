/* The values of a local solve made into fewer, smaller items with the same
 * subset sums. */
#ifndef PEMU_SOLVER_PREPARE_H
#define PEMU_SOLVER_PREPARE_H

#include <stddef.h>
#include <stdint.h>

#include "solver/bitset.h"

namespace pemu::solver {

struct prepared_items {
    malloc_ptr<uint64_t> items; /* ascending */
    size_t n = 0;
    uint64_t g = 0; /* every item was divided by it */
};

/* The nonzero values (nonzero >= 1 of them): zeros dropped, their common
 * divisor g factored out, sorted, and of three or more copies of a value v
 * two become one 2v. NULL, or the failure message. */
const char *prepare_items(const uint64_t *values, size_t count, size_t nonzero,
                          prepared_items *out);

} // namespace pemu::solver

#endif

/* Local solver: exact complete subset sums on the caller's bitset. */
#include "pemu_internal.h"

#include <string.h>

extern "C" pemu_status_t _fmss_solve(const uint64_t *values, size_t count,
                                     uint64_t *result, size_t *result_words,
                                     char *err_buf)
{
    uint64_t T = 0;
    for (size_t i = 0; i < count; i++)
        if (__builtin_add_overflow(T, values[i], &T)) {
            _safe_copy_to_err_buff("[Local failure] total of the values overflows 64 bits", err_buf);
            return -1;
        }
    size_t needed = (size_t)(T >> 6) + 1;
    if (*result_words < needed) {
        _safe_copy_to_err_buff("[Local failure] result buffer too small for the total", err_buf);
        return -1;
    }
    memset(result, 0, needed * 8);
    result[0] = 1;
    uint64_t top = 0; /* highest reachable sum so far */
    for (size_t i = 0; i < count; i++) {
        uint64_t x = values[i];
        if (x == 0) continue;
        top += x;
        size_t ws = x >> 6, bs = x & 63;
        for (size_t w = (size_t)(top >> 6) + 1; w-- > ws;) {
            uint64_t v = result[w - ws] << bs;
            if (bs && w - ws > 0) v |= result[w - ws - 1] >> (64 - bs);
            result[w] |= v;
        }
    }
    *result_words = needed;
    return 0;
}

extern "C" pemu_status_t fmss_complete_subset_sum(uint64_t *values, size_t count,
                                                  uint64_t *result, size_t *result_words)
{
    return _fmss_solve(values, count, result, result_words, NULL);
}

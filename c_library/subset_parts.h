/* What both searches for the values that make a total share: bits of a
 * result, the magnitudes' sums and the shifted total (subset.cpp). Internal
 * to subset.cpp and subset_every.cpp. */
#ifndef PEMU_SUBSET_PARTS_H
#define PEMU_SUBSET_PARTS_H

#include "fmss_kernels.h"
#include "subset.h"

namespace pemu::subset_parts {

using fmss::low_mask;
using fmss::reverse_bits;

/* 64 bits from bit pos on of words[0 .. nwords), zero outside it. */
inline uint64_t bits_at(const uint64_t *words, size_t nwords, wide_int pos)
{
    const wide_int nbits = wide_int(nwords) * 64;
    if (nwords == 0 || pos >= nbits || pos <= -64)
        return 0;
    if (pos < 0)
        return words[0] << unsigned(-pos);
    const size_t w = size_t(pos >> 6);
    const unsigned b = unsigned(pos & 63);
    uint64_t v = words[w] >> b;
    if (b != 0 && w + 1 < nwords)
        v |= words[w + 1] << (64 - b);
    return v;
}

inline bool bit(const uint64_t *words, uint64_t pos)
{
    return (words[pos >> 6] >> (pos & 63)) & 1;
}

/* Magnitudes' sum and the negatives' share; false past 2**64 - 1. */
inline bool sums_of(const uint64_t *values, const uint8_t *negative, size_t count,
                    uint64_t *all, uint64_t *neg)
{
    if (!sum_values(values, count, all))
        return false;
    uint64_t n = 0;
    for (size_t i = 0; i < count; i++)
        if (negative != nullptr && negative[i])
            n += values[i];
    *neg = n;
    return true;
}

/* The total in magnitudes (see the top), or false when no subset can
 * reach it. */
inline bool shifted_total(wide_int total, uint64_t all, uint64_t neg, uint64_t *t)
{
    const wide_int shifted = total + wide_int(neg);
    if (shifted < 0 || shifted > wide_int(all))
        return false;
    *t = uint64_t(shifted);
    return true;
}

} // namespace pemu::subset_parts

#endif

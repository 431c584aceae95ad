/* The sums of a local solve as a sorted list, while the set is sparse. */
#ifndef PEMU_SOLVER_SUM_LIST_H
#define PEMU_SOLVER_SUM_LIST_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>

namespace pemu::solver {

/* Sums up to half the total as a sorted list, while the set is sparse. */
struct sum_list {
    uint64_t *sums = NULL;
    size_t count = 0, cap = 0;
    ~sum_list() { free(sums); }
    bool reserve(size_t want)
    {
        if (want <= cap)
            return true;
        const size_t ncap = std::max(want, 2 * cap);
        uint64_t *grown = static_cast<uint64_t *>(realloc(sums, ncap * 8));
        if (grown == NULL)
            return false;
        sums = grown;
        cap = ncap;
        return true;
    }
    /* Adds x to every sum up to half - x and merges, from the back so the
     * list needs no second buffer; m is the number of such sums. The write
     * position never falls below i + j, so it never meets a sum still to be
     * read. Branch-free: which side wins is a coin toss to the CPU. */
    void add(uint64_t x, size_t m)
    {
        size_t i = count, j = m, o = count + m;
        while (i > 0 && j > 0) {
            const uint64_t a = sums[i - 1], b = sums[j - 1] + x;
            sums[--o] = a > b ? a : b;
            i -= a >= b;
            j -= b >= a;
        }
        while (j > 0) {
            j--;
            sums[--o] = sums[j] + x;
        }
        /* sums[0, i) is in place; close the gap duplicates left behind. */
        if (o != i)
            memmove(sums + i, sums + o, (count + m - o) * 8);
        count = i + (count + m - o);
    }
};

/* Writes words [lo, hi) for the sums in the list (times g) and their
 * mirrors t - s. A block at a time in a cache-resident buffer, then
 * streamed out: setting scattered bits straight in a buffer far larger than
 * the cache would read back most of what a clearing pass just wrote. */
void write_from_list(uint64_t *buf, size_t lo, size_t hi, const uint64_t *sums,
                     size_t n, uint64_t g, uint64_t t);

/* The list pays about one merge step per sum and item, the bitset about
 * one word per 64 sums of range: stay a list while it is the cheaper. */
inline size_t list_limit(uint64_t range) { return size_t(range >> 9) + 64; }

/* Off only in tests, so that small inputs reach the bitset paths too. */
extern std::atomic<bool> sum_list_allowed;

} // namespace pemu::solver

#endif

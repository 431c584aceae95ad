/* Local solver: exact complete subset sums, written into the caller's bitset.
 *
 * Three families live here and beside it:
 *  - the hashed-difference helpers (update ... print_sized_ar) serve the
 *    tests as a reference; the engine does not use them, because their
 *    window hash can miss a sum and their tables cost about 20 bytes per
 *    unit of the total;
 *  - the word kernels (fmss_kernels.h), one family per instruction set,
 *    chosen at run time;
 *  - the engine, exact, working in the caller's buffer:
 *    - zeros dropped, the common divisor g factored out, items sorted, and
 *      of three or more copies of v two become one 2v, so that few remain;
 *    - the set is symmetric (s is a sum iff T - s is), so only sums up to
 *      T/2 are ever computed, and the upper half is mirrored at the end;
 *    - while the set is sparse it is a sorted list of sums;
 *    - as a bitset, a long run of ones around the middle is kept implicit:
 *      an item shorter than that run only changes the bits below it;
 *    - blocks known to be all zeros or all ones are skipped;
 *    - items that sweep the whole set go through it several at a time, a
 *      tile each in turn, so that a tile is reused from the cache; the
 *      items of such a sweep, the mirror and the writing of a sparse
 *      result are shared among threads (PEMU_THREADS).
 *
 * This file holds the entries and the reference helpers; the engine lives
 * in rooms of its own:
 *   solver/driver.cpp    the solve: list phase, bitset phase, the output
 *   solver/prepare.cpp   zeros, common divisor, sorting, folding repeats
 *   solver/sum_list.cpp  the sparse set as a sorted list
 *   solver/bitset.cpp    shifts, sweeps, the mirror, block states
 *   solver/threads.cpp   thread count, teams, words split among threads
 *   solver/watch.h       when a watched solve asks to stop, tells progress */
#include "pemu_internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>

#include "solver/bitset.h"
#include "solver/driver.h"
#include "solver/sum_list.h"
#include "solver/threads.h"

/* ==================================================================== */
/* Hashed-difference helpers                                            */
/* ==================================================================== */

extern "C" void update(uint32_t *tree, uint32_t T, uint32_t pos, uint32_t delta)
{
    const uint32_t size = 2 * T; /* wraps like the tables were sized */
    while (pos < size) {
        tree[pos] += delta;
        pos += (pos + 1) & ~pos;
    }
}

extern "C" uint32_t fmss_read(const uint32_t *tree, uint32_t n)
{
    uint32_t sum = 0;
    for (; n != 0; n &= n - 1)
        sum += tree[n - 1];
    return sum;
}

extern "C" void add_new_sums(uint32_t *origin, const uint32_t *weights,
                             uint32_t *tree, uint32_t T, uint32_t s, uint32_t x)
{
    origin[s] = x;
    update(tree, T, s, weights[s]);
    update(tree, T, s + T, weights[s + T]);
}

extern "C" sized_ar_t *empty_sized_ar(void)
{
    sized_ar_t *a = static_cast<sized_ar_t *>(malloc(sizeof(sized_ar_t)));
    if (a != NULL)
        a[0] = 0;
    return a;
}

extern "C" sized_ar_t *one_item_sized_ar(uint32_t v)
{
    sized_ar_t *a = static_cast<sized_ar_t *>(malloc(2 * sizeof(sized_ar_t)));
    if (a != NULL) {
        a[0] = 1;
        a[1] = v;
    }
    return a;
}

extern "C" sized_ar_t *union_sized_ar(sized_ar_t *a, sized_ar_t *b)
{
    if (a[0] == 0) {
        free(a);
        return b;
    }
    if (b[0] == 0) {
        free(b);
        return a;
    }
    const uint32_t n = a[0] + b[0];
    sized_ar_t *u =
        static_cast<sized_ar_t *>(malloc((size_t(n) + 1) * sizeof(sized_ar_t)));
    if (u != NULL) {
        u[0] = n;
        memcpy(u + 1, a + 1, a[0] * sizeof(sized_ar_t));
        memcpy(u + 1 + a[0], b + 1, b[0] * sizeof(sized_ar_t));
    }
    /* Consumed either way, so that a failed union leaks nothing. */
    free(a);
    free(b);
    return u;
}

extern "C" void print_sized_ar(const sized_ar_t *a)
{
    printf("[");
    for (uint32_t i = 1; i <= a[0]; i++)
        printf(i == 1 ? "%u" : ", %u", a[i]);
    pemu::say("]");
}

extern "C" sized_ar_t *find_new_sums(const uint32_t *origin,
                                     const uint32_t *tree,
                                     const uint32_t *weights, uint32_t T,
                                     uint32_t modulus, uint32_t lo, uint32_t hi,
                                     uint32_t x)
{
    const uint32_t h1 = fmss_read(tree, hi) - fmss_read(tree, lo);
    const uint32_t left = (h1 * weights[T - x]) % modulus;
    const uint32_t h2 =
        fmss_read(tree, hi + T - x) - fmss_read(tree, lo + T - x);
    const uint32_t right = h2 % modulus;
    if (left == right)
        return empty_sized_ar();
    if (hi != lo + 1) {
        const uint32_t mid = (lo + hi) >> 1;
        sized_ar_t *low = find_new_sums(origin, tree, weights, T, modulus, lo,
                                        mid, x);
        sized_ar_t *high = find_new_sums(origin, tree, weights, T, modulus,
                                         mid, hi, x);
        return union_sized_ar(low, high);
    }
    if (lo != 0 && origin[lo] == 0)
        return one_item_sized_ar(lo);
    return empty_sized_ar();
}

/* ==================================================================== */
/* Engine entries and test hooks                                        */
/* ==================================================================== */

extern "C" int _fmss_allow_sum_list(int allow)
{
    return pemu::solver::sum_list_allowed.exchange(allow != 0,
                                                   std::memory_order_relaxed);
}

extern "C" int _fmss_thread_count(const char *value, int cores)
{
    return pemu::solver::thread_count(value, cores);
}

extern "C" int _fmss_force_threads(int n)
{
    return pemu::solver::forced_threads.exchange(
        std::clamp(n, 0, pemu::solver::MAX_THREADS), std::memory_order_relaxed);
}

extern "C" size_t _fmss_parallel_min(size_t words)
{
    return pemu::solver::parallel_min_words.exchange(std::max(words, size_t(1)),
                                                     std::memory_order_relaxed);
}

extern "C" uint64_t _fmss_watched_piece_bits(uint64_t bits)
{
    return pemu::solver::watched_piece_bits.exchange(
        std::max<uint64_t>(64, bits & ~uint64_t(63)), std::memory_order_relaxed);
}

extern "C" pemu_status_t _fmss_solve(const uint64_t *values, size_t count,
                                     uint64_t *result, size_t *result_words,
                                     char *err_buf)
{
    return _fmss_solve_watched(values, count, result, result_words, err_buf,
                               NULL);
}

extern "C" pemu_status_t _fmss_solve_watched(const uint64_t *values,
                                             size_t count, uint64_t *result,
                                             size_t *result_words,
                                             char *err_buf,
                                             const pemu_watch_t *watch)
{
    uint64_t total = 0;
    if (pemu::checked_total(values, count, &total, err_buf) != 0)
        return -1;
    return pemu::solver::solve(values, count, total, result, result_words,
                               err_buf, watch);
}

extern "C" pemu_status_t fmss_complete_subset_sum(uint64_t *values,
                                                  size_t count,
                                                  uint64_t *result,
                                                  size_t *result_words)
{
    return _fmss_solve(values, count, result, result_words, NULL);
}

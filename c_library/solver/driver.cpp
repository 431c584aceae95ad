/* The local solver's driver: how the items go through the set, a sorted
 * list while it is sparse, then a bitset of which only the lower half is
 * computed. */
#include "solver/driver.h"

#include <algorithm>

#include "solver/bitset.h"
#include "solver/prepare.h"
#include "solver/sum_list.h"
#include "solver/threads.h"
#include "solver/watch.h"

namespace pemu::solver {

namespace {

/* How many of the items from `next` on may share a sweep: all of them are
 * taken as items that sweep the set; their distances keep to the window. */
size_t sweep_length(const uint64_t *next, size_t left)
{
    size_t n = 1;
    uint64_t window = TILE_WORDS;
    while (n < std::min(left, MAX_SWEEP) &&
           (window += (next[n] >> 6) + TILE_WORDS) <= SWEEP_WINDOW_WORDS)
        n++;
    return n;
}

/* Solves the items (ascending, compressed by g, total `total`) into buf,
 * which holds (g*total)/64 + 1 words. Only sums up to half the total are
 * computed; the rest is their mirror. As a bitset, the state is: stored
 * bits below exact_end exact, and [run_start, top - run_start] all set,
 * with run_start <= exact_end. */
bool solve_items(const uint64_t *items, size_t n, uint64_t total, uint64_t g,
                 uint64_t *buf, size_t words, int threads, solve_watch &watch)
{
    const uint64_t half = total / 2;
    uint64_t top = 0; /* total of the items so far */
    uint64_t run_start = 0, exact_end = 0;
    malloc_ptr<uint8_t> block_table;
    bitset bits{buf, NULL, &fmss::current_kernels(), threads};
    if (watch.watched())
        bits.watch = &watch;
    sum_list list;
    bool as_list = sum_list_allowed.load(std::memory_order_relaxed) &&
                   list.reserve(64);
    if (as_list) {
        list.sums[0] = 0;
        list.count = 1;
    } else {
        block_table = new_block_table(half);
        bits.block_state = block_table.get();
    }

    for (size_t k = 0; k < n; k++) {
        if (bits.stopped.load(std::memory_order_relaxed) || watch.stop_before(k))
            return false;
        const uint64_t x = items[k];
        const uint64_t reach = std::min(top + x, half); /* highest bit to write */
        if (as_list) {
            size_t m = 0;
            if (x <= half)
                m = size_t(std::upper_bound(list.sums, list.sums + list.count, half - x) -
                           list.sums);
            if (list.count + m <= list_limit(reach) && list.reserve(list.count + m)) {
                list.add(x, m);
                top += x;
                continue;
            }
            /* Too dense (or no memory) for a list: from here on, bits. */
            const uint64_t e = std::min(top, half);
            /* Cleared in pieces when watched: fresh pages fault in slowly. */
            const size_t clear = size_t((e >> 6) + 1), piece = watch.final_chunk();
            for (size_t w = 0; w < clear; w += piece) {
                if (watch.stop_in_sweep())
                    return false;
                memset(buf + w, 0, std::min(piece, clear - w) * 8);
            }
            for (size_t i = 0; i < list.count; i++)
                buf[list.sums[i] >> 6] |= uint64_t(1) << (list.sums[i] & 63);
            as_list = false;
            block_table = new_block_table(half);
            bits.block_state = block_table.get();
            exact_end = e + 1;
            run_start = bits.ones_run_start(top / 2);
        }
        if (x + 2 * run_start <= top + 1) {
            /* The middle run is at least x long, so the new set is set on
             * [run_start, top + x - run_start]; only the bits below
             * run_start can change. */
            exact_end = run_start;
            if (run_start > x) {
                bits.shift_or(x, run_start - 1, x);
                run_start = bits.ones_run_start(run_start - 1);
            }
            top += x;
            continue;
        }
        bits.materialize(exact_end, run_start, top, reach);
        const uint64_t run_end = top - run_start; /* valid when top + 1 >= 2 run_start */
        if (top + 1 >= 2 * run_start && run_end + 1 <= reach &&
            ((run_end + 1) >> 6) > ((run_start + 63) >> 6)) {
            /* Skip the words inside the run; upper part first (descending). */
            bits.shift_or(run_end + 1, reach, x);
            if (run_start > x)
                bits.shift_or(x, run_start - 1, x);
            top += x;
            exact_end = reach + 1;
        } else {
            /* No run worth skipping: this item and the next few sweep the
             * whole set, together. */
            const size_t m = sweep_length(items + k, n - k);
            const uint64_t before = top;
            uint64_t reaches[MAX_SWEEP];
            for (size_t i = 0; i < m; i++) {
                reaches[i] = std::min(top + items[k + i], half);
                top += items[k + i];
            }
            /* Each item finds its words exact: above the old top, empty. */
            bits.materialize(reach + 1, run_start, before, reaches[m - 1]);
            bits.sweep(items + k, reaches, m);
            exact_end = reaches[m - 1] + 1;
            k += m - 1;
        }
        run_start = bits.ones_run_start(top / 2);
    }

    if (bits.stopped.load(std::memory_order_relaxed))
        return false;
    /* In chunks, so that a watch is asked on the way. */
    const size_t chunk = watch.final_chunk();
    if (as_list) {
        for (size_t lo = 0; lo < words; lo += chunk) {
            if (watch.stop_at_word(lo))
                return false;
            split_words(lo, std::min(words, lo + chunk), threads, [&](size_t a, size_t b) {
                write_from_list(buf, a, b, list.sums, list.count, g, total * g);
            });
        }
        return true;
    }
    block_table.reset();
    bits.block_state = NULL; /* the table ends at half the total */
    /* A chunk ends with its last word, so the next keeps what it wrote. */
    for (uint64_t from = exact_end; from <= total;) {
        if (watch.stop_at_word(size_t(from >> 6)))
            return false;
        const uint64_t last = std::min<uint64_t>(total >> 6, (from >> 6) + chunk - 1);
        const uint64_t end = std::min(total, last * 64 + 63);
        bits.materialize(from, run_start, total, end);
        from = end + 1;
    }
    /* From the top down too, the watch asked between chunks: a common
     * divisor of large values leaves a long spreading. */
    for (size_t hi = g > 1 ? words : 0; hi > 0;) {
        if (watch.stop_at_word(words - hi))
            return false;
        const size_t lo = hi > chunk ? hi - chunk : 0;
        spread(buf, total, g, lo, hi);
        hi = lo;
    }
    return true;
}

} // namespace

pemu_status_t solve(const uint64_t *values, size_t count, uint64_t total,
                    uint64_t *result, size_t *result_words, char *err_buf,
                    const pemu_watch_t *watch)
{
    size_t nonzero = 0;
    for (size_t i = 0; i < count; i++)
        nonzero += values[i] != 0;
    const size_t needed = pemu::words_for_total(total);
    if (*result_words < needed)
        return pemu::fail("[Local failure] result buffer holds fewer words than "
                          "the total needs",
                          err_buf);
    if (nonzero == 0) {
        result[0] = 1;
        *result_words = 1;
        if (watch != NULL && watch->progress != NULL)
            watch->progress(1.0, watch->progress_user);
        return 0;
    }

    prepared_items prepared;
    const char *failure = prepare_items(values, count, nonzero, &prepared);
    if (failure != NULL)
        return pemu::fail(failure, err_buf);
    const uint64_t g = prepared.g;

    /* Every needed word gets written, so huge pages cost no memory. */
    pemu::advise_huge_pages(result, needed * 8);
    solve_watch progress(watch, prepared.items.get(), prepared.n, total / g / 2,
                         needed);
    if (!solve_items(prepared.items.get(), prepared.n, total / g, g, result,
                     needed, solve_threads(), progress))
        return pemu::fail("[Local failure] cancelled", err_buf);
    *result_words = needed;
    if (watch != NULL && watch->progress != NULL)
        watch->progress(1.0, watch->progress_user);
    return 0;
}

} // namespace pemu::solver

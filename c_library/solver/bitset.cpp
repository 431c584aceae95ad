/* Word-level work on the bitset of a local solve. */
#include "solver/bitset.h"

#include <string.h>

#include <algorithm>

#include "solver/threads.h"
#include "solver/watch.h"

namespace pemu::solver {

std::atomic<uint64_t> watched_piece_bits{uint64_t(1) << 28};

using fmss::ALL_ONES;
using fmss::ALL_ZERO;
using fmss::bits_at;
using fmss::low_mask;

/* Words [lo, hi] were all set to one value (BLK_ZERO or BLK_ONES). */
void bitset::mark_filled(uint64_t lo, uint64_t hi, uint8_t state)
{
    if (block_state == NULL || lo > hi)
        return;
    for (uint64_t b = lo >> BLOCK_SHIFT; b <= hi >> BLOCK_SHIFT; b++) {
        const bool whole = b << BLOCK_SHIFT >= lo &&
                           ((b + 1) << BLOCK_SHIFT) - 1 <= hi;
        block_state[b] = whole ? state : uint8_t(BLK_MIXED);
    }
}

void bitset::mark_mixed(uint64_t w)
{
    if (block_state != NULL)
        block_state[w >> BLOCK_SHIFT] = BLK_MIXED;
}

/* Lowest q such that bits q..c are all set; c + 1 when bit c is clear. */
uint64_t bitset::ones_run_start(uint64_t c) const
{
    uint64_t w = c >> 6;
    uint64_t zeros = ~words[w] & low_mask(unsigned(c & 63) + 1);
    while (zeros == 0) {
        if (w == 0)
            return 0;
        w--;
        if (block_state != NULL && (w & BLOCK_MASK) == BLOCK_MASK &&
            block_state[w >> BLOCK_SHIFT] == BLK_ONES) {
            w -= BLOCK_MASK; /* to the block's first word */
            continue;
        }
        zeros = ~words[w];
    }
    return (w << 6) + 64 - uint64_t(__builtin_clzll(zeros));
}

/* Words hi down to lo (lo > ws) gain their source, a block at a time;
 * blocks the item cannot change are skipped. */
void bitset::shift_or_words(size_t lo, size_t hi, size_t ws, unsigned bs)
{
    for (size_t w = hi + 1; w > lo;) { /* chunk [c0, w), per block */
        const size_t b = (w - 1) >> BLOCK_SHIFT;
        const size_t c0 = std::max(lo, b << BLOCK_SHIFT);
        if (block_state != NULL &&
            (block_state[b] == BLK_ONES ||
             (block_state[(c0 - ws - 1) >> BLOCK_SHIFT] == BLK_ZERO &&
              block_state[(w - 1 - ws) >> BLOCK_SHIFT] == BLK_ZERO))) {
            w = c0;
            continue;
        }
        const unsigned f = kernels->shift_or(words, c0, w - 1, ws, bs);
        if (block_state != NULL) {
            const bool whole = c0 == b << BLOCK_SHIFT &&
                               w == (b + 1) << BLOCK_SHIFT;
            /* A part of a block says nothing about the rest. */
            block_state[b] = !whole         ? BLK_MIXED
                             : f & ALL_ONES ? BLK_ONES
                             : f & ALL_ZERO ? BLK_ZERO
                                            : BLK_MIXED;
        }
        w = c0;
    }
}

/* Word ws, the lowest an item reaches, draws only on word 0. */
void bitset::shift_or_lowest(size_t ws, unsigned bs)
{
    words[ws] |= words[0] << bs;
    if (words[ws] != 0 && words[ws] != ~uint64_t(0))
        mark_mixed(ws);
}

/* Every bit d of the words holding [d_lo, d_hi] gains bit d - x
 * (x >= 1). Whole words are processed: callers only treat bits outside
 * the range as either already set or not yet meaningful. */
void bitset::shift_or(uint64_t d_lo, uint64_t d_hi, uint64_t x)
{
    /* Watched: whole words from the top down, as unwatched, in pieces
     * of a few milliseconds with the watch asked between them. Only the
     * last piece holds the lowest word. */
    if (watch != NULL && d_hi >= x) {
        const uint64_t lo = std::max(d_lo, x);
        const uint64_t piece = watched_piece_bits.load(std::memory_order_relaxed);
        while (d_hi - lo >= 2 * piece) {
            if (stopped.load(std::memory_order_relaxed) || watch->stop_in_sweep()) {
                stopped.store(true, std::memory_order_relaxed);
                return;
            }
            const uint64_t piece_lo = ((d_hi >> 6) + 1) * 64 - piece;
            shift_or_range(piece_lo, d_hi, x);
            d_hi = piece_lo - 1;
        }
    }
    shift_or_range(d_lo, d_hi, x);
}

void bitset::shift_or_range(uint64_t d_lo, uint64_t d_hi, uint64_t x)
{
    if (d_hi < x)
        return;
    d_lo = std::max(d_lo, x);
    const size_t ws = size_t(x >> 6);
    const unsigned bs = unsigned(x & 63);
    const size_t lowest = size_t(d_lo >> 6);
    shift_or_words(std::max(lowest, ws + 1), size_t(d_hi >> 6), ws, bs);
    if (lowest == ws)
        shift_or_lowest(ws, bs);
}

/* The tile an item's next tile reads from first: word 0 for the
 * item's lowest tile, which holds word ws. */
size_t bitset::first_source_tile(const sweep_item &item, size_t tile)
{
    if (tile == tile_of(item.ws))
        return 0;
    return tile_of((tile << TILE_SHIFT) - item.ws - 1);
}

void bitset::sweep_tile(sweep_item &item, size_t tile)
{
    const size_t lo = std::max(item.ws + 1, tile << TILE_SHIFT);
    const size_t hi = std::min(item.top_word, (tile << TILE_SHIFT) + TILE_WORDS - 1);
    if (lo <= hi)
        shift_or_words(lo, hi, item.ws, item.bs);
    const bool last = tile == tile_of(item.ws);
    if (last)
        shift_or_lowest(item.ws, item.bs);
    item.done.store(last ? 0 : tile, std::memory_order_release);
}

/* Thread t moves the items of its own group, [lo, hi): a group's items
 * follow one another closely, and only a group's first item reads what
 * another thread wrote. An item is claimed while a thread moves it, so
 * its tiles go in order, one at a time; a thread whose own items cannot
 * move for a while moves other groups' items, so that one which lost
 * its core holds up only the item it has claimed. An item may take a
 * tile once the item before it has finished every tile the tile reads;
 * it has then also finished the tile itself, and no later item has
 * touched either. The first unfinished item takes one tile per claim,
 * the others catch up as far as they can, which keeps them close. */
void bitset::sweep_part(sweep_item *items, size_t n, size_t lo, size_t hi,
                        bool caller)
{
    unsigned spins = 0;
    for (;;) {
        if (watch != NULL) { /* only the calling thread asks it */
            if (caller && watch->stop_in_sweep())
                stopped.store(true, std::memory_order_relaxed);
            if (stopped.load(std::memory_order_relaxed))
                return;
        }
        const bool help = spins >= HELP_AFTER_SPINS;
        bool left = false, moved = false;
        for (size_t i = 0; i < n; i++) {
            if (items[i].done.load(std::memory_order_acquire) == 0)
                continue;
            const bool first = !left;
            left = true;
            if ((i < lo || i >= hi) && !help)
                continue;
            if (items[i].claimed.exchange(true, std::memory_order_acquire))
                continue;
            size_t next = items[i].done.load(std::memory_order_relaxed);
            for (size_t budget = first ? 1 : ~size_t(0); next > 0 && budget > 0; budget--) {
                if (i > 0 && items[i - 1].done.load(std::memory_order_acquire) >
                                 first_source_tile(items[i], next - 1))
                    break;
                sweep_tile(items[i], next - 1);
                next = items[i].done.load(std::memory_order_relaxed);
                moved = true;
            }
            items[i].claimed.store(false, std::memory_order_release);
        }
        if (!left)
            return;
        if (moved)
            spins = 0;
        else
            wait_a_little(spins);
    }
}

/* Items x[0..n) in turn, item k over the words holding [x[k], end[k]]
 * (end ascending), as the shift_or of one item after another would. */
void bitset::sweep(const uint64_t *x, const uint64_t *end, size_t n)
{
    sweep_item items[MAX_SWEEP];
    uint64_t work = 0;
    for (size_t k = 0; k < n; k++) {
        if (end[k] < x[k])
            continue; /* nothing to write: done stays 0 */
        items[k].ws = size_t(x[k] >> 6);
        items[k].bs = unsigned(x[k] & 63);
        items[k].top_word = size_t(end[k] >> 6);
        items[k].done.store(tile_of(items[k].top_word) + 1, std::memory_order_relaxed);
        work += items[k].top_word - items[k].ws;
    }
    const size_t team = work >= parallel_min_words.load(std::memory_order_relaxed) * n
                            ? std::min(size_t(std::max(threads, 1)), n)
                            : 1;
    if (team == 1) {
        sweep_part(items, n, 0, n, true);
        return;
    }
    run_parallel(int(team), [&](int t, int size) {
        sweep_part(items, n, n * size_t(t) / size_t(size),
                   n * size_t(t + 1) / size_t(size), t == 0);
    });
}

void bitset::fill_words(size_t lo, size_t hi, uint64_t value)
{
    split_words(lo, hi, threads, [&](size_t a, size_t b) {
        memset(words + a, value == 0 ? 0 : 0xff, (b - a) * 8);
    });
}

/* Writes bits [from, end] (from >= run_start, bits below from exact) of
 * a set with total top from its symmetric description: [run_start,
 * top - run_start] all set, (top - run_start, top] the mirror of bits
 * below run_start, nothing above top. Bits below from in its word are
 * kept and bits above end in end's word cleared. The mirror only reads
 * bits below run_start, which stay as they are. */
void bitset::materialize(uint64_t from, uint64_t run_start, uint64_t top, uint64_t end)
{
    /* Watched: in pieces of whole words, the watch asked between. */
    if (watch != NULL && from <= end) {
        const uint64_t piece = watched_piece_bits.load(std::memory_order_relaxed);
        while (end - from >= 2 * piece) {
            if (stopped.load(std::memory_order_relaxed) || watch->stop_in_sweep()) {
                stopped.store(true, std::memory_order_relaxed);
                return;
            }
            const uint64_t piece_end = ((from >> 6) * 64 + piece) - 1;
            materialize_range(from, run_start, top, piece_end);
            from = piece_end + 1;
        }
    }
    materialize_range(from, run_start, top, end);
}

void bitset::materialize_range(uint64_t from, uint64_t run_start, uint64_t top,
                               uint64_t end)
{
    if (from > end)
        return;
    /* set: [run_start, ones_end); mirrored: [ones_end, mirror_end) */
    const uint64_t ones_end = std::min(
        top + 1 >= 2 * run_start ? top - run_start + 1 : run_start, end + 1);
    const uint64_t mirror_end = std::max(ones_end, std::min(top, end) + 1);
    const uint64_t last = end >> 6;
    uint64_t w = from >> 6;
    while (w <= last) {
        const uint64_t base = w << 6;
        if (base >= from && base + 64 <= ones_end) {
            const uint64_t stop = ones_end >> 6;
            fill_words(w, stop, ~uint64_t(0));
            mark_filled(w, stop - 1, BLK_ONES);
            w = stop;
            continue;
        }
        if (base >= from && base >= ones_end && base + 64 <= mirror_end) {
            const uint64_t stop = mirror_end >> 6;
            split_words(w, stop, threads, [&](size_t a, size_t b) {
                kernels->mirror(words, a, b, top);
            });
            mark_filled(w, stop - 1, BLK_MIXED);
            w = stop;
            continue;
        }
        if (base >= from && base >= mirror_end) {
            fill_words(w, last + 1, 0);
            mark_filled(w, last, BLK_ZERO);
            break;
        }
        const uint64_t lo = std::max(base, from), hi = base + 64;
        uint64_t v = base < from ? words[w] & low_mask(unsigned(from - base)) : 0;
        uint64_t a = lo, b = std::min(hi, ones_end);
        if (a < b)
            v |= low_mask(unsigned(b - a)) << (a - base);
        a = std::max(lo, ones_end);
        b = std::min(hi, mirror_end);
        if (a < b) {
            const unsigned len = unsigned(b - a);
            const uint64_t src = bits_at(words, top - (b - 1), len);
            v |= (fmss::reverse_bits(src) >> (64 - len)) << (a - base);
        }
        words[w] = v;
        mark_mixed(w);
        w++;
    }
}

malloc_ptr<uint8_t> new_block_table(uint64_t half)
{
    const size_t n = size_t((half >> 6) >> BLOCK_SHIFT) + 1;
    malloc_ptr<uint8_t> table(static_cast<uint8_t *>(malloc(n)));
    if (table)
        memset(table.get(), BLK_MIXED, n);
    return table;
}

/* Spreads the compressed result (bit s for the sum s*g) out in place; the
 * compressed words sit at the front and are read before being overwritten,
 * as every destination word draws only on source words at or below it. */
void spread(uint64_t *buf, uint64_t total, uint64_t g, size_t lo, size_t hi)
{
    uint64_t pattern = 0; /* every g-th bit from bit 0 */
    if (g < 64)
        for (unsigned k = 0; k < 64; k += unsigned(g))
            pattern |= uint64_t(1) << k;
    for (size_t w = hi; w-- > lo;) {
        const uint64_t base = uint64_t(w) << 6;
        const uint64_t s0 = (base + g - 1) / g;
        const uint64_t s1 = std::min((base + 63) / g, total);
        if (s0 > s1) {
            buf[w] = 0;
            continue;
        }
        const unsigned cnt = unsigned(s1 - s0 + 1);
        const uint64_t src = bits_at(buf, s0, cnt);
        const unsigned off = unsigned(s0 * g - base);
        uint64_t v = 0;
        if (src == low_mask(cnt) && g < 64 && cnt == (63 - off) / g + 1) {
            v = pattern << off;
        } else {
            for (uint64_t m = src; m != 0; m &= m - 1)
                v |= uint64_t(1) << (off + unsigned(__builtin_ctzll(m)) * g);
        }
        buf[w] = v;
    }
}

} // namespace pemu::solver

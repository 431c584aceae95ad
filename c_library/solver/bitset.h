/* The bitset of a local solve, in the caller's result words: shifts of an
 * item over it (one at a time, or several sweeping it tile by tile), its
 * symmetric description written out, and blocks known to be all zeros or
 * all ones. */
#ifndef PEMU_SOLVER_BITSET_H
#define PEMU_SOLVER_BITSET_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "fmss_kernels.h"
#include "pemu_plumbing.h"

namespace pemu::solver {

template <class T>
using malloc_ptr = pemu::malloc_ptr<T[]>;

/* The bitset's words in blocks of 512, each with what its stored words are
 * known to be: all zero, all ones, or either. A pass skips the blocks an
 * item cannot change, which is most of a set made of long runs and gaps.
 * Without the table every block counts as mixed. */
enum : uint8_t { BLK_ZERO = 0,
                 BLK_ONES = 1,
                 BLK_MIXED = 2 };
constexpr unsigned BLOCK_SHIFT = 9;
constexpr uint64_t BLOCK_MASK = (uint64_t(1) << BLOCK_SHIFT) - 1;

/* A sweep moves each item a tile (32 KiB, whole blocks) at a time. At most
 * MAX_SWEEP items share a sweep, and the words between its first and last
 * item stay within SWEEP_WINDOW_WORDS, so that a tile one item wrote is
 * still in the last-level cache when the one after it writes it (and in L2
 * when the items are much smaller than L2; the next item reads it at
 * once). */
constexpr unsigned TILE_SHIFT = 12;
constexpr size_t TILE_WORDS = size_t(1) << TILE_SHIFT;
constexpr size_t MAX_SWEEP = 32;
constexpr uint64_t SWEEP_WINDOW_WORDS = uint64_t(1) << 20;
/* Bits of one piece of a watched shift: whole words. Tests lower it. */
extern std::atomic<uint64_t> watched_piece_bits;

class solve_watch;

/* One item of a sweep. Tiles from the top down; `done` is the lowest tile
 * finished (every tile above it is too), 0 once the item is. */
struct sweep_item {
    size_t ws = 0;       /* the item in whole words ... */
    unsigned bs = 0;     /* ... and bits */
    size_t top_word = 0; /* highest word written */
    std::atomic<size_t> done{0};
    std::atomic<bool> claimed{false}; /* by the thread moving it */
};

inline size_t tile_of(size_t w) { return w >> TILE_SHIFT; }

struct bitset {
    uint64_t *words;
    uint8_t *block_state; /* borrowed, may be NULL */
    const fmss::kernel_family *kernels;
    int threads;
    solve_watch *watch = NULL;        /* asked in sweeps; may be NULL */
    std::atomic<bool> stopped{false}; /* a sweep was told to stop */

    void mark_filled(uint64_t lo, uint64_t hi, uint8_t state);
    void mark_mixed(uint64_t w);
    uint64_t ones_run_start(uint64_t c) const;
    void shift_or_words(size_t lo, size_t hi, size_t ws, unsigned bs);
    void shift_or_lowest(size_t ws, unsigned bs);
    void shift_or(uint64_t d_lo, uint64_t d_hi, uint64_t x);
    void shift_or_range(uint64_t d_lo, uint64_t d_hi, uint64_t x);
    static size_t first_source_tile(const sweep_item &item, size_t tile);
    void sweep_tile(sweep_item &item, size_t tile);
    void sweep_part(sweep_item *items, size_t n, size_t lo, size_t hi, bool caller);
    void sweep(const uint64_t *x, const uint64_t *end, size_t n);
    void fill_words(size_t lo, size_t hi, uint64_t value);
    void materialize(uint64_t from, uint64_t run_start, uint64_t top, uint64_t end);
    void materialize_range(uint64_t from, uint64_t run_start, uint64_t top,
                           uint64_t end);
};

/* One byte per block of the words up to half, all unknown; may be NULL,
 * as the table only saves work. */
malloc_ptr<uint8_t> new_block_table(uint64_t half);

/* Spreads the compressed result (bit s for the sum s*g) out in place, for
 * words [lo, hi); ranges are to be taken from the top word down. */
void spread(uint64_t *buf, uint64_t total, uint64_t g, size_t lo, size_t hi);

} // namespace pemu::solver

#endif

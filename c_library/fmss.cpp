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
 */
#include "pemu_internal.h"

#include "fmss_kernels.h"
#include "fmss_watch.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define FMSS_X86 1
#endif
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

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
/* Engine                                                               */
/* ==================================================================== */

namespace {

using fmss::ALL_ONES;
using fmss::ALL_ZERO;
using fmss::bits_at;
using fmss::low_mask;

template <class T>
using malloc_ptr = pemu::malloc_ptr<T[]>;

/* ---- threads --------------------------------------------------------- */

constexpr int MAX_THREADS = 64;
/* Below this many words a region stays on the calling thread: starting a
 * thread costs about as much as writing that much memory. Tests lower it. */
std::atomic<size_t> parallel_min_words{size_t(1) << 18};

std::atomic<int> forced_threads{0};

int usable_cores(void)
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return CPU_COUNT(&set);
    return 1;
}

int solve_threads(void)
{
    const int forced = forced_threads.load(std::memory_order_relaxed);
    if (forced > 0)
        return forced;
    return _fmss_thread_count(getenv("PEMU_THREADS"), usable_cores());
}

/* Runs body(t, n) for every t < n, on n threads, the caller's being t = 0;
 * n is `want`, or fewer when no more threads could be started. */
template <class Body>
void run_parallel(int want, const Body &body)
{
    std::thread helpers[MAX_THREADS - 1];
    std::atomic<int> team{0};
    int started = 0;
    for (; started + 1 < std::min(want, MAX_THREADS); started++) {
        try {
            helpers[started] = std::thread([&team, &body, t = started + 1] {
                team.wait(0);
                body(t, team.load());
            });
        } catch (...) {
            break;
        }
    }
    team.store(started + 1);
    team.notify_all();
    body(0, started + 1);
    for (int i = 0; i < started; i++)
        helpers[i].join();
}

/* Edge k of n pieces of [lo, hi); inner edges on multiples of align. */
size_t piece_edge(size_t lo, size_t hi, size_t k, size_t n, size_t align)
{
    if (k == 0 || k == n)
        return k == 0 ? lo : hi;
    const size_t edge = lo + (hi - lo) / n * k;
    return std::min(hi, (edge + align - 1) & ~(align - 1));
}

/* part(a, b) over pieces of words [lo, hi), several per thread, each taken
 * by whichever thread is free: one that loses its core holds up one piece,
 * not a share. Pieces of large ranges are whole 2 MiB pages, so that no two
 * threads fault in the same page. Small ranges stay on the caller. */
template <class Part>
void split_words(size_t lo, size_t hi, int threads, const Part &part)
{
    if (lo >= hi)
        return;
    if (threads <= 1 || hi - lo < parallel_min_words.load(std::memory_order_relaxed)) {
        part(lo, hi);
        return;
    }
    const size_t pieces = size_t(threads) * 8;
    const size_t align = (hi - lo) / pieces >= (size_t(1) << 18) ? size_t(1) << 18 : 4096;
    std::atomic<size_t> taken{0};
    run_parallel(threads, [&](int, int) {
        for (size_t k; (k = taken.fetch_add(1, std::memory_order_relaxed)) < pieces;) {
            const size_t a = piece_edge(lo, hi, k, pieces, align);
            const size_t b = piece_edge(lo, hi, k + 1, pieces, align);
            if (a < b)
                part(a, b);
        }
    });
}

/* Waiting for another thread's progress: spin briefly, then give the core
 * away, which matters when there are more threads than cores. */
constexpr unsigned YIELD_AFTER_SPINS = 256;
/* After this many (a few yields: each may cost a time slice when the
 * cores are busy), a thread takes on the work of others. */
constexpr unsigned HELP_AFTER_SPINS = YIELD_AFTER_SPINS + 16;

inline void wait_a_little(unsigned &spins)
{
    if (++spins < YIELD_AFTER_SPINS) {
#ifdef FMSS_X86
        _mm_pause();
#endif
    } else {
        sched_yield();
    }
}

/* ---- bitset ------------------------------------------------------------ */

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

    /* Words [lo, hi] were all set to one value (BLK_ZERO or BLK_ONES). */
    void mark_filled(uint64_t lo, uint64_t hi, uint8_t state)
    {
        if (block_state == NULL || lo > hi)
            return;
        for (uint64_t b = lo >> BLOCK_SHIFT; b <= hi >> BLOCK_SHIFT; b++) {
            const bool whole = b << BLOCK_SHIFT >= lo &&
                               ((b + 1) << BLOCK_SHIFT) - 1 <= hi;
            block_state[b] = whole ? state : uint8_t(BLK_MIXED);
        }
    }

    void mark_mixed(uint64_t w)
    {
        if (block_state != NULL)
            block_state[w >> BLOCK_SHIFT] = BLK_MIXED;
    }

    /* Lowest q such that bits q..c are all set; c + 1 when bit c is clear. */
    uint64_t ones_run_start(uint64_t c) const
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
    void shift_or_words(size_t lo, size_t hi, size_t ws, unsigned bs)
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
    void shift_or_lowest(size_t ws, unsigned bs)
    {
        words[ws] |= words[0] << bs;
        if (words[ws] != 0 && words[ws] != ~uint64_t(0))
            mark_mixed(ws);
    }

    /* Every bit d of the words holding [d_lo, d_hi] gains bit d - x
     * (x >= 1). Whole words are processed: callers only treat bits outside
     * the range as either already set or not yet meaningful. */
    void shift_or(uint64_t d_lo, uint64_t d_hi, uint64_t x)
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
    static size_t first_source_tile(const sweep_item &item, size_t tile)
    {
        if (tile == tile_of(item.ws))
            return 0;
        return tile_of((tile << TILE_SHIFT) - item.ws - 1);
    }

    void sweep_tile(sweep_item &item, size_t tile)
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
    void sweep_part(sweep_item *items, size_t n, size_t lo, size_t hi)
    {
        unsigned spins = 0;
        for (;;) {
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
    void sweep(const uint64_t *x, const uint64_t *end, size_t n)
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
            sweep_part(items, n, 0, n);
            return;
        }
        run_parallel(int(team), [&](int t, int size) {
            sweep_part(items, n, n * size_t(t) / size_t(size),
                       n * size_t(t + 1) / size_t(size));
        });
    }

    void fill_words(size_t lo, size_t hi, uint64_t value)
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
    void materialize(uint64_t from, uint64_t run_start, uint64_t top, uint64_t end)
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
};
/* Spreads the compressed result (bit s for the sum s*g) out in place; the
 * compressed words sit at the front and are read before being overwritten,
 * as every destination word draws only on source words at or below it. */
void spread(uint64_t *buf, uint64_t total, uint64_t g, size_t words)
{
    uint64_t pattern = 0; /* every g-th bit from bit 0 */
    if (g < 64)
        for (unsigned k = 0; k < 64; k += unsigned(g))
            pattern |= uint64_t(1) << k;
    for (size_t w = words; w-- > 0;) {
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

uint64_t gcd64(uint64_t a, uint64_t b)
{
    while (b != 0) {
        const uint64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

/* A growable array of (value, copies) pairs, for values made by folding. */
struct folded_queue {
    uint64_t *values = NULL;
    uint64_t *counts = NULL;
    size_t head = 0, tail = 0, cap = 0;
    bool push(uint64_t value, uint64_t copies)
    {
        if (tail > head && values[tail - 1] == value) {
            counts[tail - 1] += copies;
            return true;
        }
        if (tail == cap) {
            /* Reuse the consumed front before growing. */
            if (head > 0) {
                memmove(values, values + head, (tail - head) * 8);
                memmove(counts, counts + head, (tail - head) * 8);
                tail -= head;
                head = 0;
            }
            if (tail == cap) {
                const size_t ncap = cap ? 2 * cap : 64;
                uint64_t *nv = static_cast<uint64_t *>(realloc(values, ncap * 8));
                if (nv == NULL)
                    return false;
                values = nv;
                uint64_t *nc = static_cast<uint64_t *>(realloc(counts, ncap * 8));
                if (nc == NULL)
                    return false;
                counts = nc;
                cap = ncap;
            }
        }
        values[tail] = value;
        counts[tail] = copies;
        tail++;
        return true;
    }
    ~folded_queue()
    {
        free(values);
        free(counts);
    }
};

/* Sorted items (n >= 1) in place -> items with the same subset sums, at
 * most two copies of any value, ascending. Returns the new count, or 0
 * when memory ran out. k copies of v (k >= 3) give the same sums as k - 2
 * copies and one 2v; the doubled values arrive in ascending order, so a
 * queue merges them back in. Writing never overtakes reading, since every
 * item written or queued stands for at least one item read. */
size_t fold_repeats(uint64_t *items, size_t n)
{
    folded_queue q;
    size_t r = 0, out = 0;
    while (r < n || q.head < q.tail) {
        uint64_t v;
        if (q.head == q.tail || (r < n && items[r] < q.values[q.head]))
            v = items[r];
        else
            v = q.values[q.head];
        uint64_t copies = 0;
        while (r < n && items[r] == v) {
            copies++;
            r++;
        }
        if (q.head < q.tail && q.values[q.head] == v)
            copies += q.counts[q.head++];
        const uint64_t pairs = copies >= 3 ? (copies - 1) / 2 : 0;
        for (uint64_t k = copies - 2 * pairs; k > 0; k--)
            items[out++] = v;
        if (pairs > 0 && !q.push(2 * v, pairs))
            return 0;
    }
    return out;
}

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
                     size_t n, uint64_t g, uint64_t t)
{
    enum { block = 512 };
    alignas(64) uint64_t blk[block];
    const uint64_t first = uint64_t(lo) << 6; /* <= t */
    /* Sums from the first bit on, ascending; mirrors, ascending as j falls. */
    size_t i = size_t(std::lower_bound(sums, sums + n, first / g + (first % g != 0)) - sums);
    size_t j = size_t(std::upper_bound(sums, sums + n, (t - first) / g) - sums);
    for (size_t w0 = lo; w0 < hi; w0 += block) {
        const size_t len = std::min(size_t(block), hi - w0);
        const uint64_t end = uint64_t(w0 + len) << 6; /* first bit after */
        memset(blk, 0, sizeof blk);
        for (uint64_t d; i < n && (d = sums[i] * g) < end; i++)
            blk[(d >> 6) - w0] |= uint64_t(1) << (d & 63);
        for (uint64_t d; j > 0 && (d = t - sums[j - 1] * g) < end; j--)
            blk[(d >> 6) - w0] |= uint64_t(1) << (d & 63);
#ifdef FMSS_X86
        if ((uintptr_t(buf + w0) & 15) == 0 && len == block) {
            for (size_t k = 0; k < block; k += 2)
                _mm_stream_si128((__m128i *)(buf + w0 + k),
                                 _mm_load_si128((const __m128i *)(blk + k)));
            continue;
        }
#endif
        memcpy(buf + w0, blk, len * 8);
    }
#ifdef FMSS_X86
    _mm_sfence();
#endif
}

/* The list pays about one merge step per sum and item, the bitset about
 * one word per 64 sums of range: stay a list while it is the cheaper. */
inline size_t list_limit(uint64_t range) { return size_t(range >> 9) + 64; }

/* One byte per block of the words up to half, all unknown; may be NULL,
 * as the table only saves work. */
malloc_ptr<uint8_t> new_block_table(uint64_t half)
{
    const size_t n = size_t((half >> 6) >> BLOCK_SHIFT) + 1;
    malloc_ptr<uint8_t> table(static_cast<uint8_t *>(malloc(n)));
    if (table)
        memset(table.get(), BLK_MIXED, n);
    return table;
}

/* Off only in tests, so that small inputs reach the bitset paths too. */
std::atomic<bool> sum_list_allowed{true};

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
                 uint64_t *buf, size_t words, int threads,
                 fmss::solve_watch &watch)
{
    const uint64_t half = total / 2;
    uint64_t top = 0; /* total of the items so far */
    uint64_t run_start = 0, exact_end = 0;
    malloc_ptr<uint8_t> block_table;
    bitset bits{buf, NULL, &fmss::current_kernels(), threads};
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
        if (watch.stop_before(k))
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
            memset(buf, 0, size_t((e >> 6) + 1) * 8);
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
            const size_t m = std::min(sweep_length(items + k, n - k),
                                      watch.sweep_cap(reach));
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

    if (as_list) {
        split_words(0, words, threads, [&](size_t a, size_t b) {
            write_from_list(buf, a, b, list.sums, list.count, g, total * g);
        });
        return true;
    }
    block_table.reset();
    bits.block_state = NULL; /* the table ends at half the total */
    bits.materialize(exact_end, run_start, total, total);
    if (g > 1)
        spread(buf, total, g, words);
    return true;
}

} // namespace

extern "C" int _fmss_allow_sum_list(int allow)
{
    return sum_list_allowed.exchange(allow != 0, std::memory_order_relaxed);
}

extern "C" int _fmss_thread_count(const char *value, int cores)
{
    cores = std::clamp(cores, 1, MAX_THREADS);
    if (value == NULL || *value == '\0')
        return cores;
    long n = 0;
    for (const char *c = value; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return cores;
        n = std::min(n * 10 + (*c - '0'), long(MAX_THREADS) + 1);
    }
    return n == 0 ? cores : std::min(int(n), cores);
}

extern "C" int _fmss_force_threads(int n)
{
    return forced_threads.exchange(std::clamp(n, 0, MAX_THREADS),
                                   std::memory_order_relaxed);
}

extern "C" size_t _fmss_parallel_min(size_t words)
{
    return parallel_min_words.exchange(std::max(words, size_t(1)),
                                       std::memory_order_relaxed);
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
    if (!pemu::sum_values(values, count, &total))
        return pemu::fail("[Local failure] the values sum to 2**64 or more",
                          err_buf);
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

    malloc_ptr<uint64_t> items(static_cast<uint64_t *>(malloc(nonzero * 8)));
    if (!items)
        return pemu::fail("[Local failure] out of memory for the items", err_buf);
    uint64_t g = 0;
    for (size_t i = 0, k = 0; i < count; i++)
        if (values[i] != 0) {
            items[k++] = values[i];
            g = gcd64(values[i], g);
        }
    for (size_t i = 0; i < nonzero; i++)
        items[i] /= g;
    std::sort(items.get(), items.get() + nonzero);
    const size_t n = fold_repeats(items.get(), nonzero);
    if (n == 0)
        return pemu::fail("[Local failure] out of memory for the items", err_buf);

    /* Every needed word gets written, so huge pages cost no memory. */
    pemu::advise_huge_pages(result, needed * 8);
    fmss::solve_watch progress(watch, items.get(), n, total / g / 2);
    if (!solve_items(items.get(), n, total / g, g, result, needed,
                     solve_threads(), progress))
        return pemu::fail("[Local failure] cancelled", err_buf);
    *result_words = needed;
    if (watch != NULL && watch->progress != NULL)
        watch->progress(1.0, watch->progress_user);
    return 0;
}

extern "C" pemu_status_t fmss_complete_subset_sum(uint64_t *values,
                                                  size_t count,
                                                  uint64_t *result,
                                                  size_t *result_words)
{
    return _fmss_solve(values, count, result, result_words, NULL);
}

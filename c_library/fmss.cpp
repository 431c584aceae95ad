/* Local solver: exact complete subset sums, written into the caller's bitset.
 *
 * Two families live here. The hashed-difference helpers (update ...
 * print_sized_ar) keep their historical contract for anyone linking against
 * them; the engine does not use them, because their window hash can miss a
 * sum and their tables cost about 20 bytes per unit of the total.
 *
 * The engine is exact and works in the caller's buffer:
 *  - zeros dropped, the common divisor g factored out, items sorted, and
 *    of three or more copies of v two become one 2v, so that few remain;
 *  - the set is symmetric (s is a sum iff T - s is), so only sums up to
 *    T/2 are ever computed, and the upper half is mirrored at the end;
 *  - while the set is sparse it is a sorted list of sums;
 *  - as a bitset, a long run of ones around the middle is kept implicit:
 *    an item shorter than that run only changes the bits below it;
 *  - blocks known to be all zeros or all ones are skipped, and the shift-or
 *    kernel (AVX-512, AVX2 or plain) is chosen at run time.
 */
#include "pemu_internal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define FMSS_X86 1
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>

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
    a[0] = 0;
    return a;
}

extern "C" sized_ar_t *one_item_sized_ar(uint32_t v)
{
    sized_ar_t *a = static_cast<sized_ar_t *>(malloc(2 * sizeof(sized_ar_t)));
    a[0] = 1;
    a[1] = v;
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
    u[0] = n;
    memcpy(u + 1, a + 1, a[0] * sizeof(sized_ar_t));
    memcpy(u + 1 + a[0], b + 1, b[0] * sizeof(sized_ar_t));
    free(a);
    free(b);
    return u;
}

extern "C" void print_sized_ar(const sized_ar_t *a)
{
    printf("[");
    for (uint32_t i = 1; i <= a[0]; i++)
        printf(i == 1 ? "%u" : ", %u", a[i]);
    printf("]");
    fflush(stdout);
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
/* Shift-or kernels                                                     */
/* ==================================================================== */

namespace {

/* buf[w] |= (buf[w-ws] << bs) | (buf[w-ws-1] >> (64-bs)) for w = hi down to
 * lo, lo > ws. Descending, so every source word is read before any item
 * can have changed it: each value is used at most once per pass. Returns
 * what the written words became: ALL_ONES, ALL_ZERO, or neither (0). */
enum {
    ALL_ONES = 1,
    ALL_ZERO = 2
};
typedef unsigned (*shift_or_fn)(uint64_t *buf, size_t lo, size_t hi,
                                size_t ws, unsigned bs);

inline uint64_t shifted_word(const uint64_t *src, unsigned bs)
{
    /* Two-step right shift: a shift by 64 would be undefined for bs == 0. */
    return (src[0] << bs) | ((src[-1] >> 1) >> (63 - bs));
}

inline unsigned flags_of(uint64_t all_and, uint64_t all_or)
{
    return (all_and == ~uint64_t(0) ? ALL_ONES : 0) | (all_or == 0 ? ALL_ZERO : 0);
}

unsigned shift_or_portable(uint64_t *buf, size_t lo, size_t hi, size_t ws,
                           unsigned bs)
{
    uint64_t all_and = ~uint64_t(0), all_or = 0;
    for (size_t w = hi + 1; w-- > lo;) {
        const uint64_t v = buf[w] | shifted_word(buf + w - ws, bs);
        buf[w] = v;
        all_and &= v;
        all_or |= v;
    }
    return flags_of(all_and, all_or);
}

#ifdef FMSS_X86
__attribute__((target("avx2"))) unsigned
shift_or_avx2(uint64_t *buf, size_t lo, size_t hi, size_t ws, unsigned bs)
{
    /* Vector shifts by 64 give zero, so bs == 0 needs no special case. */
    const __m128i cl = _mm_cvtsi32_si128(int(bs));
    const __m128i cr = _mm_cvtsi32_si128(int(64 - bs));
    const __m256i ones = _mm256_set1_epi64x(-1);
    __m256i vand = ones, vor = _mm256_setzero_si256();
    size_t w = hi + 1;
    while (w >= lo + 8) {
        w -= 8;
        const uint64_t *s = buf + w - ws;
        /* All loads before the stores: with ws < 8 the source overlaps the
         * block being written, and must be read as it was. */
        __m256i a0 = _mm256_loadu_si256((const __m256i *)(s));
        __m256i b0 = _mm256_loadu_si256((const __m256i *)(s - 1));
        __m256i a1 = _mm256_loadu_si256((const __m256i *)(s + 4));
        __m256i b1 = _mm256_loadu_si256((const __m256i *)(s + 3));
        __m256i d0 = _mm256_loadu_si256((const __m256i *)(buf + w));
        __m256i d1 = _mm256_loadu_si256((const __m256i *)(buf + w + 4));
        d0 = _mm256_or_si256(d0, _mm256_or_si256(_mm256_sll_epi64(a0, cl),
                                                 _mm256_srl_epi64(b0, cr)));
        d1 = _mm256_or_si256(d1, _mm256_or_si256(_mm256_sll_epi64(a1, cl),
                                                 _mm256_srl_epi64(b1, cr)));
        _mm256_storeu_si256((__m256i *)(buf + w + 4), d1);
        _mm256_storeu_si256((__m256i *)(buf + w), d0);
        vand = _mm256_and_si256(vand, _mm256_and_si256(d0, d1));
        vor = _mm256_or_si256(vor, _mm256_or_si256(d0, d1));
    }
    uint64_t all_and = _mm256_testc_si256(vand, ones) ? ~uint64_t(0) : 0;
    uint64_t all_or = _mm256_testz_si256(vor, vor) ? 0 : 1;
    while (w > lo) {
        w--;
        const uint64_t v = buf[w] | shifted_word(buf + w - ws, bs);
        buf[w] = v;
        all_and &= v;
        all_or |= v;
    }
    return flags_of(all_and, all_or);
}

__attribute__((target("avx512f"))) unsigned
shift_or_avx512(uint64_t *buf, size_t lo, size_t hi, size_t ws, unsigned bs)
{
    /* Per-lane counts: a count of 64 gives zero here too. (The masked forms
     * only keep GCC 12 from warning about its own unset operand.) */
    const __m512i cl = _mm512_set1_epi64(int64_t(bs));
    const __m512i cr = _mm512_set1_epi64(int64_t(64 - bs));
    const __m512i ones = _mm512_set1_epi64(-1);
    __m512i vand = ones, vor = _mm512_setzero_si512();
    size_t w = hi + 1;
    while (w >= lo + 16) {
        w -= 16;
        const uint64_t *s = buf + w - ws;
        __m512i a0 = _mm512_loadu_si512(s);
        __m512i b0 = _mm512_loadu_si512(s - 1);
        __m512i a1 = _mm512_loadu_si512(s + 8);
        __m512i b1 = _mm512_loadu_si512(s + 7);
        __m512i d0 = _mm512_loadu_si512(buf + w);
        __m512i d1 = _mm512_loadu_si512(buf + w + 8);
        d0 = _mm512_or_si512(d0, _mm512_or_si512(_mm512_maskz_sllv_epi64(0xFF, a0, cl),
                                                 _mm512_maskz_srlv_epi64(0xFF, b0, cr)));
        d1 = _mm512_or_si512(d1, _mm512_or_si512(_mm512_maskz_sllv_epi64(0xFF, a1, cl),
                                                 _mm512_maskz_srlv_epi64(0xFF, b1, cr)));
        _mm512_storeu_si512(buf + w + 8, d1);
        _mm512_storeu_si512(buf + w, d0);
        vand = _mm512_and_si512(vand, _mm512_and_si512(d0, d1));
        vor = _mm512_or_si512(vor, _mm512_or_si512(d0, d1));
    }
    uint64_t all_and = _mm512_cmpneq_epi64_mask(vand, ones) == 0 ? ~uint64_t(0) : 0;
    uint64_t all_or = _mm512_test_epi64_mask(vor, vor) == 0 ? 0 : 1;
    while (w > lo) {
        w--;
        const uint64_t v = buf[w] | shifted_word(buf + w - ws, bs);
        buf[w] = v;
        all_and &= v;
        all_or |= v;
    }
    return flags_of(all_and, all_or);
}

int has_avx512(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f");
}

int has_avx2(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

#endif

int always(void)
{
    return 1;
}

struct kernel_entry {
    const char *name;
    shift_or_fn fn;
    int (*usable)(void);
};

/* Best first: the automatic choice is the first usable entry. */
const kernel_entry kernels[] = {
#ifdef FMSS_X86
    {"avx512", shift_or_avx512, has_avx512},
    {"avx2", shift_or_avx2, has_avx2},
#endif
    {"portable", shift_or_portable, always},
};
const int n_kernels = int(sizeof kernels / sizeof kernels[0]);

std::atomic<int> chosen_kernel{-1};

int best_kernel(void)
{
    for (int i = 0; i < n_kernels; i++)
        if (kernels[i].usable())
            return i;
    return n_kernels - 1;
}

int kernel_index(void)
{
    int k = chosen_kernel.load(std::memory_order_relaxed);
    if (k < 0) {
        k = best_kernel();
        chosen_kernel.store(k, std::memory_order_relaxed);
    }
    return k;
}

} // namespace

/* Chooses the shift-or kernel by name ("avx512", "avx2", "portable"), or the
 * best one the CPU runs for NULL. -1 when unknown or not runnable here. */
extern "C" int _fmss_select_kernel(const char *name)
{
    if (name == NULL) {
        chosen_kernel.store(best_kernel(), std::memory_order_relaxed);
        return 0;
    }
    for (int i = 0; i < n_kernels; i++)
        if (strcmp(kernels[i].name, name) == 0) {
            if (!kernels[i].usable())
                return -1;
            chosen_kernel.store(i, std::memory_order_relaxed);
            return 0;
        }
    return -1;
}

extern "C" const char *_fmss_kernel_name(void)
{
    return kernels[kernel_index()].name;
}

/* ==================================================================== */
/* Engine                                                               */
/* ==================================================================== */

namespace {

inline uint64_t low_mask(unsigned len) /* len in 1..64 */
{
    return ~uint64_t(0) >> (64 - len);
}

inline uint64_t reverse_bits(uint64_t v)
{
    v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
    v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
    return __builtin_bswap64(v);
}

/* len (1..64) bits from bit pos on; reads only the words holding them. */
inline uint64_t bits_at(const uint64_t *buf, uint64_t pos, unsigned len)
{
    const uint64_t w = pos >> 6;
    const unsigned b = unsigned(pos & 63);
    uint64_t v = buf[w] >> b;
    if (b != 0 && b + len > 64)
        v |= buf[w + 1] << (64 - b);
    return v & low_mask(len);
}

/* The bitset's words in blocks of 512, each with what its stored words are
 * known to be: all zero, all ones, or either. A pass skips the blocks an
 * item cannot change, which is most of a set made of long runs and gaps.
 * Without the table (st == NULL) every block counts as mixed. */
enum : uint8_t {
    BLK_ZERO = 0,
    BLK_ONES = 1,
    BLK_MIXED = 2
};
constexpr unsigned BLOCK_SHIFT = 9;
constexpr uint64_t BLOCK_MASK = (uint64_t(1) << BLOCK_SHIFT) - 1;

struct bitset {
    uint64_t *buf;
    uint8_t *st;
    shift_or_fn kernel;

    /* Words [lo, hi] were all set to one value (BLK_ZERO or BLK_ONES). */
    void mark_filled(uint64_t lo, uint64_t hi, uint8_t state)
    {
        if (st == NULL || lo > hi)
            return;
        for (uint64_t b = lo >> BLOCK_SHIFT; b <= hi >> BLOCK_SHIFT; b++) {
            const bool whole = b << BLOCK_SHIFT >= lo &&
                               ((b + 1) << BLOCK_SHIFT) - 1 <= hi;
            st[b] = whole ? state : uint8_t(BLK_MIXED);
        }
    }

    void mark_mixed(uint64_t w)
    {
        if (st != NULL)
            st[w >> BLOCK_SHIFT] = BLK_MIXED;
    }

    /* Lowest q such that bits q..c are all set; c + 1 when bit c is clear. */
    uint64_t ones_run_start(uint64_t c) const
    {
        uint64_t w = c >> 6;
        uint64_t zeros = ~buf[w] & low_mask(unsigned(c & 63) + 1);
        while (zeros == 0) {
            if (w == 0)
                return 0;
            w--;
            if (st != NULL && (w & BLOCK_MASK) == BLOCK_MASK &&
                st[w >> BLOCK_SHIFT] == BLK_ONES) {
                w -= BLOCK_MASK; /* to the block's first word */
                continue;
            }
            zeros = ~buf[w];
        }
        return (w << 6) + 64 - uint64_t(__builtin_clzll(zeros));
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
        const size_t wlo = size_t(d_lo >> 6), whi = size_t(d_hi >> 6);
        const size_t klo = std::max(wlo, ws + 1);
        for (size_t w = whi + 1; w > klo;) { /* chunk [c0, w), per block */
            const size_t b = (w - 1) >> BLOCK_SHIFT;
            const size_t c0 = std::max(klo, b << BLOCK_SHIFT);
            if (st != NULL &&
                (st[b] == BLK_ONES ||
                 (st[(c0 - ws - 1) >> BLOCK_SHIFT] == BLK_ZERO &&
                  st[(w - 1 - ws) >> BLOCK_SHIFT] == BLK_ZERO))) {
                w = c0;
                continue;
            }
            const unsigned f = kernel(buf, c0, w - 1, ws, bs);
            if (st != NULL) {
                const bool whole = c0 == b << BLOCK_SHIFT &&
                                   w == (b + 1) << BLOCK_SHIFT;
                /* A part of a block says nothing about the rest. */
                st[b] = !whole         ? BLK_MIXED
                        : f & ALL_ONES ? BLK_ONES
                        : f & ALL_ZERO ? BLK_ZERO
                                       : BLK_MIXED;
            }
            w = c0;
        }
        if (wlo == ws) { /* only word 0 reaches the lowest destination word */
            buf[ws] |= buf[0] << bs;
            if (buf[ws] != 0 && buf[ws] != ~uint64_t(0))
                mark_mixed(ws);
        }
    }

    /* Writes bits [from, e] (from >= p, bits below from exact) of a set with
     * total top from its symmetric description: [p, top - p] all set,
     * (top - p, top] the mirror of bits below p, nothing above top. Bits
     * below from in its word are kept and bits above e in e's word cleared.
     * Ascending, so the mirror only reads bits below p, which stay as
     * they are. */
    void materialize(uint64_t from, uint64_t p, uint64_t top, uint64_t e)
    {
        if (from > e)
            return;
        /* set: [p, ones_end); mirrored: [ones_end, mirror_end); then none */
        const uint64_t ones_end =
            std::min(top + 1 >= 2 * p ? top - p + 1 : p, e + 1);
        const uint64_t mirror_end = std::max(ones_end, std::min(top, e) + 1);
        const uint64_t we = e >> 6;
        uint64_t w = from >> 6;
        while (w <= we) {
            const uint64_t base = w << 6;
            if (base >= from && base + 64 <= ones_end) {
                const uint64_t wend = ones_end >> 6;
                memset(buf + w, 0xff, size_t(wend - w) * 8);
                mark_filled(w, wend - 1, BLK_ONES);
                w = wend;
                continue;
            }
            if (base >= from && base >= mirror_end) {
                memset(buf + w, 0, size_t(we + 1 - w) * 8);
                mark_filled(w, we, BLK_ZERO);
                break;
            }
            const uint64_t lo = std::max(base, from), hi = base + 64;
            uint64_t v = base < from ? buf[w] & low_mask(unsigned(from - base)) : 0;
            uint64_t a = lo, b = std::min(hi, ones_end);
            if (a < b)
                v |= low_mask(unsigned(b - a)) << (a - base);
            a = std::max(lo, ones_end);
            b = std::min(hi, mirror_end);
            if (a < b) {
                const unsigned len = unsigned(b - a);
                const uint64_t src = bits_at(buf, top - (b - 1), len);
                v |= (reverse_bits(src) >> (64 - len)) << (a - base);
            }
            buf[w] = v;
            mark_mixed(w);
            w++;
        }
    }
};

/* Spreads the compressed result (bit s for the sum s*g) out in place; the
 * compressed words sit at the front and are read before being overwritten,
 * as every destination word draws only on source words at or below it. */
void spread(uint64_t *buf, uint64_t tc, uint64_t g, size_t words)
{
    uint64_t pattern = 0; /* every g-th bit from bit 0 */
    if (g < 64)
        for (unsigned k = 0; k < 64; k += unsigned(g))
            pattern |= uint64_t(1) << k;
    for (size_t w = words; w-- > 0;) {
        const uint64_t base = uint64_t(w) << 6;
        const uint64_t s0 = (base + g - 1) / g;
        const uint64_t s1 = std::min((base + 63) / g, tc);
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
    uint64_t *v = NULL;
    uint64_t *c = NULL;
    size_t head = 0, tail = 0, cap = 0;
    bool push(uint64_t value, uint64_t copies)
    {
        if (tail > head && v[tail - 1] == value) {
            c[tail - 1] += copies;
            return true;
        }
        if (tail == cap) {
            /* Reuse the consumed front before growing. */
            if (head > 0) {
                memmove(v, v + head, (tail - head) * 8);
                memmove(c, c + head, (tail - head) * 8);
                tail -= head;
                head = 0;
            }
            if (tail == cap) {
                const size_t ncap = cap ? 2 * cap : 64;
                uint64_t *nv = static_cast<uint64_t *>(realloc(v, ncap * 8));
                if (nv == NULL)
                    return false;
                v = nv;
                uint64_t *nc = static_cast<uint64_t *>(realloc(c, ncap * 8));
                if (nc == NULL)
                    return false;
                c = nc;
                cap = ncap;
            }
        }
        v[tail] = value;
        c[tail] = copies;
        tail++;
        return true;
    }
    ~folded_queue()
    {
        free(v);
        free(c);
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
        if (q.head == q.tail || (r < n && items[r] < q.v[q.head]))
            v = items[r];
        else
            v = q.v[q.head];
        uint64_t copies = 0;
        while (r < n && items[r] == v) {
            copies++;
            r++;
        }
        if (q.head < q.tail && q.v[q.head] == v)
            copies += q.c[q.head++];
        const uint64_t pairs = copies >= 3 ? (copies - 1) / 2 : 0;
        for (uint64_t k = copies - 2 * pairs; k > 0; k--)
            items[out++] = v;
        if (pairs > 0 && !q.push(2 * v, pairs))
            return 0;
    }
    return out;
}

/* Sums up to the cap as a sorted list, while the set is sparse. */
struct sum_list {
    uint64_t *s = NULL;
    size_t n = 0, cap = 0;
    ~sum_list() { free(s); }
    bool reserve(size_t want)
    {
        if (want <= cap)
            return true;
        const size_t ncap = std::max(want, 2 * cap);
        uint64_t *ns = static_cast<uint64_t *>(realloc(s, ncap * 8));
        if (ns == NULL)
            return false;
        s = ns;
        cap = ncap;
        return true;
    }
    /* Adds x to every sum up to cap - x and merges, from the back so the
     * list needs no second buffer; m is the number of such sums. The write
     * position never falls below i + j, so it never meets a sum still to be
     * read. Branch-free: which side wins is a coin toss to the CPU. */
    void add(uint64_t x, size_t m)
    {
        size_t i = n, j = m, o = n + m;
        while (i > 0 && j > 0) {
            const uint64_t a = s[i - 1], b = s[j - 1] + x;
            s[--o] = a > b ? a : b;
            i -= a >= b;
            j -= b >= a;
        }
        while (j > 0) {
            j--;
            s[--o] = s[j] + x;
        }
        /* s[0, i) is in place; close the gap duplicates left behind. */
        if (o != i)
            memmove(s + i, s + o, (n + m - o) * 8);
        n = i + (n + m - o);
    }
};

/* Writes words [0, words) for the sums in the list (times g) and their
 * mirrors t - s. A block at a time in a cache-resident buffer, then
 * streamed out: setting scattered bits straight in a buffer far larger than
 * the cache would read back most of what a clearing pass just wrote. */
void write_from_list(uint64_t *buf, size_t words, const uint64_t *sums,
                     size_t n, uint64_t g, uint64_t t)
{
    enum { block = 512 };
    alignas(64) uint64_t blk[block];
    [[maybe_unused]] const bool aligned = (uintptr_t(buf) & 15) == 0;
    size_t i = 0, j = n; /* ascending sums; descending for mirrors */
    for (size_t w0 = 0; w0 < words; w0 += block) {
        const size_t len = std::min(size_t(block), words - w0);
        const uint64_t end = uint64_t(w0 + len) << 6; /* first bit after */
        memset(blk, 0, sizeof blk);
        for (uint64_t d; i < n && (d = sums[i] * g) < end; i++)
            blk[(d >> 6) - w0] |= uint64_t(1) << (d & 63);
        for (uint64_t d; j > 0 && (d = t - sums[j - 1] * g) < end; j--)
            blk[(d >> 6) - w0] |= uint64_t(1) << (d & 63);
#ifdef FMSS_X86
        if (aligned && len == block) {
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

/* One byte per block of the words up to the cap, all unknown; may be NULL,
 * as the table only saves work. */
uint8_t *new_block_table(uint64_t cap)
{
    const size_t n = size_t((cap >> 6) >> BLOCK_SHIFT) + 1;
    uint8_t *st = static_cast<uint8_t *>(malloc(n));
    if (st != NULL)
        memset(st, BLK_MIXED, n);
    return st;
}

/* Off only in tests, so that small inputs reach the bitset paths too. */
std::atomic<bool> sum_list_allowed{true};

/* Solves the items (ascending, compressed by g, total tc) into buf, which
 * holds (g*tc)/64 + 1 words. Only sums up to tc/2 are computed; the rest is
 * their mirror. As a bitset, the state is: stored bits below ex_end exact,
 * and [p, top - p] all set, with p <= ex_end. */
void solve_items(const uint64_t *items, size_t n, uint64_t tc, uint64_t g,
                 uint64_t *buf, size_t words)
{
    const uint64_t cap = tc / 2;
    uint64_t top = 0; /* total of the items so far */
    uint64_t p = 0, ex_end = 0;
    bitset bits{buf, NULL, kernels[kernel_index()].fn};
    sum_list list;
    bool as_list = sum_list_allowed.load(std::memory_order_relaxed) &&
                   list.reserve(64);
    if (as_list) {
        list.s[0] = 0;
        list.n = 1;
    } else {
        bits.st = new_block_table(cap);
    }

    for (size_t k = 0; k < n; k++) {
        const uint64_t x = items[k];
        const uint64_t e_next = std::min(top + x, cap);
        if (as_list) {
            size_t m = 0;
            if (x <= cap)
                m = size_t(std::upper_bound(list.s, list.s + list.n, cap - x) -
                           list.s);
            if (list.n + m <= list_limit(e_next) && list.reserve(list.n + m)) {
                list.add(x, m);
                top += x;
                continue;
            }
            /* Too dense (or no memory) for a list: from here on, bits. */
            const uint64_t e = std::min(top, cap);
            memset(buf, 0, size_t((e >> 6) + 1) * 8);
            for (size_t i = 0; i < list.n; i++)
                buf[list.s[i] >> 6] |= uint64_t(1) << (list.s[i] & 63);
            as_list = false;
            bits.st = new_block_table(cap);
            ex_end = e + 1;
            p = bits.ones_run_start(top / 2);
        }
        if (x + 2 * p <= top + 1) {
            /* The middle run is at least x long, so the new set is set on
             * [p, top + x - p]; only the bits below p can change. */
            ex_end = p;
            if (p > x) {
                bits.shift_or(x, p - 1, x);
                p = bits.ones_run_start(p - 1);
            }
            top += x;
            continue;
        }
        bits.materialize(ex_end, p, top, e_next);
        const uint64_t run_end = top - p; /* valid when top + 1 >= 2p */
        if (top + 1 >= 2 * p && run_end + 1 <= e_next &&
            ((run_end + 1) >> 6) > ((p + 63) >> 6)) {
            /* Skip the words inside the run; upper part first (descending). */
            bits.shift_or(run_end + 1, e_next, x);
            if (p > x)
                bits.shift_or(x, p - 1, x);
        } else {
            bits.shift_or(x, e_next, x);
        }
        top += x;
        ex_end = e_next + 1;
        p = bits.ones_run_start(top / 2);
    }

    if (as_list) {
        write_from_list(buf, words, list.s, list.n, g, tc * g);
        return;
    }
    free(bits.st);
    bits.st = NULL; /* the table ends at tc/2 */
    bits.materialize(ex_end, p, tc, tc);
    if (g > 1)
        spread(buf, tc, g, words);
}

/* A fresh result buffer costs a page fault per 4 KiB on first touch, which
 * for large totals rivals the solve itself; every needed word gets written,
 * so asking for huge pages costs no memory. Only whole huge pages inside the
 * buffer are advised, and the advice may be ignored. */
void advise_huge_pages(uint64_t *buf, size_t words)
{
    const uintptr_t huge = uintptr_t(1) << 21;
    if (words * 8 < 4 * huge)
        return;
    const uintptr_t lo = (uintptr_t(buf) + huge - 1) & ~(huge - 1);
    const uintptr_t hi = uintptr_t(buf + words) & ~(huge - 1);
    if (hi > lo)
        madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_HUGEPAGE);
}

pemu_status_t fail(const char *msg, char *err_buf)
{
    _safe_copy_to_err_buff(msg, err_buf);
    return -1;
}

} // namespace

/* Lets the engine start with a sorted list of sums (the default), or makes
 * it use the bitset from the first item. Returns the previous setting. */
extern "C" int _fmss_allow_sum_list(int allow)
{
    return sum_list_allowed.exchange(allow != 0, std::memory_order_relaxed);
}

extern "C" pemu_status_t _fmss_solve(const uint64_t *values, size_t count,
                                     uint64_t *result, size_t *result_words,
                                     char *err_buf)
{
    uint64_t total = 0;
    size_t nonzero = 0;
    for (size_t i = 0; i < count; i++) {
        if (__builtin_add_overflow(total, values[i], &total))
            return fail("[Local failure] the values sum to 2**64 or more",
                        err_buf);
        nonzero += values[i] != 0;
    }
    const size_t needed = size_t(total >> 6) + 1;
    if (*result_words < needed)
        return fail("[Local failure] result buffer holds fewer words than "
                    "the total needs",
                    err_buf);
    if (nonzero == 0) {
        result[0] = 1;
        *result_words = 1;
        return 0;
    }

    uint64_t *items = static_cast<uint64_t *>(malloc(nonzero * 8));
    if (items == NULL)
        return fail("[Local failure] out of memory for the items", err_buf);
    uint64_t g = 0;
    for (size_t i = 0, k = 0; i < count; i++)
        if (values[i] != 0) {
            items[k++] = values[i];
            g = gcd64(values[i], g);
        }
    for (size_t i = 0; i < nonzero; i++)
        items[i] /= g;
    std::sort(items, items + nonzero);
    const size_t n = fold_repeats(items, nonzero);
    if (n == 0) {
        free(items);
        return fail("[Local failure] out of memory for the items", err_buf);
    }

    advise_huge_pages(result, needed);
    solve_items(items, n, total / g, g, result, needed);
    free(items);
    *result_words = needed;
    return 0;
}

extern "C" pemu_status_t fmss_complete_subset_sum(uint64_t *values,
                                                  size_t count,
                                                  uint64_t *result,
                                                  size_t *result_words)
{
    return _fmss_solve(values, count, result, result_words, NULL);
}

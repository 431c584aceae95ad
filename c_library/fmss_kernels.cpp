/* Word kernels of the local solver (see fmss_kernels.h): portable, AVX2,
 * AVX-512 and NEON families, and the run-time choice among them. */
#include "fmss_kernels.h"

#include "pemu_internal.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define FMSS_X86 1
#endif
#if defined(__aarch64__)
#include <arm_neon.h>
#define FMSS_NEON 1
#endif
#include <stdlib.h>
#include <string.h>

#include <atomic>

namespace fmss {
namespace {

/* ---- scalar steps, shared by every family's tail ------------------- */

/* Word w of the set shifted up by 64*ws + bs bits. The right shift is
 * taken in two steps: a shift by 64 would be undefined for bs == 0. */
inline uint64_t shifted_word(const uint64_t *buf, size_t w, size_t ws,
                             unsigned bs)
{
    const uint64_t *src = buf + w - ws;
    return (src[0] << bs) | ((src[-1] >> 1) >> (63 - bs));
}

/* Running AND and OR of the words a kernel wrote. */
struct written {
    uint64_t all_and = ~uint64_t(0);
    uint64_t all_or = 0;
    unsigned flags() const
    {
        return (all_and == ~uint64_t(0) ? unsigned(ALL_ONES) : 0u) |
               (all_or == 0 ? unsigned(ALL_ZERO) : 0u);
    }
};

/* Words w - 1 down to lo, one at a time: the tail every vector kernel
 * leaves, and the whole of the portable one. */
inline void shift_or_tail(uint64_t *buf, size_t lo, size_t w, size_t ws,
                          unsigned bs, written &seen)
{
    while (w > lo) {
        w--;
        const uint64_t v = buf[w] | shifted_word(buf, w, ws, bs);
        buf[w] = v;
        seen.all_and &= v;
        seen.all_or |= v;
    }
}

inline uint64_t mirrored_word(const uint64_t *buf, size_t w, uint64_t top)
{
    return reverse_bits(bits_at(buf, top - (uint64_t(w) << 6) - 63, 64));
}

/* ---- portable ------------------------------------------------------ */

unsigned shift_or_portable(uint64_t *buf, size_t lo, size_t hi, size_t ws,
                           unsigned bs)
{
    written seen;
    shift_or_tail(buf, lo, hi + 1, ws, bs, seen);
    return seen.flags();
}

void mirror_portable(uint64_t *buf, size_t lo, size_t hi, uint64_t top)
{
    for (size_t w = lo; w < hi; w++)
        buf[w] = mirrored_word(buf, w, top);
}

int always(void) { return 1; }

#ifdef FMSS_X86

/* ---- AVX2 ---------------------------------------------------------- */

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
    written seen;
    seen.all_and = _mm256_testc_si256(vand, ones) ? ~uint64_t(0) : 0;
    seen.all_or = _mm256_testz_si256(vor, vor) ? 0 : 1;
    shift_or_tail(buf, lo, w, ws, bs, seen);
    return seen.flags();
}

/* Reverses the bits of each 64-bit lane: bytes by a shuffle, the bits of
 * each byte by two nibble lookups. */
__attribute__((target("avx2"))) inline __m256i reverse_lanes_bits(__m256i v)
{
    const __m256i byte_order = _mm256_setr_epi8(
        7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
        7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    const __m256i rev_nibble = _mm256_setr_epi8(
        0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE, 0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF,
        0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE, 0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF);
    const __m256i low4 = _mm256_set1_epi8(0x0F);
    v = _mm256_shuffle_epi8(v, byte_order);
    const __m256i lo = _mm256_shuffle_epi8(rev_nibble, _mm256_and_si256(v, low4));
    const __m256i hi = _mm256_shuffle_epi8(
        rev_nibble, _mm256_and_si256(_mm256_srli_epi16(v, 4), low4));
    return _mm256_or_si256(_mm256_slli_epi16(lo, 4), hi);
}

__attribute__((target("avx2"))) void
mirror_avx2(uint64_t *buf, size_t lo, size_t hi, uint64_t top)
{
    size_t w = lo;
    for (; w + 4 <= hi; w += 4) {
        /* Source of word w starts at bit r; of word w + k, 64k bits lower. */
        const uint64_t r = top - (uint64_t(w) << 6) - 63;
        const size_t q = size_t(r >> 6);
        const __m128i cr = _mm_cvtsi32_si128(int(r & 63));
        const __m128i cl = _mm_cvtsi32_si128(int(64 - (r & 63)));
        const __m256i low = _mm256_loadu_si256((const __m256i *)(buf + q - 3));
        const __m256i high = _mm256_loadu_si256((const __m256i *)(buf + q - 2));
        __m256i v = _mm256_or_si256(_mm256_srl_epi64(low, cr),
                                    _mm256_sll_epi64(high, cl));
        v = _mm256_permute4x64_epi64(v, 0x1B); /* lane k: word w + k */
        _mm256_storeu_si256((__m256i *)(buf + w), reverse_lanes_bits(v));
    }
    for (; w < hi; w++)
        buf[w] = mirrored_word(buf, w, top);
}

/* ---- AVX-512 ------------------------------------------------------- */

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
    written seen;
    seen.all_and = _mm512_cmpneq_epi64_mask(vand, ones) == 0 ? ~uint64_t(0) : 0;
    seen.all_or = _mm512_test_epi64_mask(vor, vor) == 0 ? 0 : 1;
    shift_or_tail(buf, lo, w, ws, bs, seen);
    return seen.flags();
}

__attribute__((target("avx512f,avx512bw"))) void
mirror_avx512(uint64_t *buf, size_t lo, size_t hi, uint64_t top)
{
    const __m512i lane_order = _mm512_set_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    /* The AVX2 tables, written as words (GCC 12 warns on the broadcasts). */
    const __m512i byte_order = _mm512_set_epi64(
        0x08090A0B0C0D0E0Fll, 0x0001020304050607ll, 0x08090A0B0C0D0E0Fll,
        0x0001020304050607ll, 0x08090A0B0C0D0E0Fll, 0x0001020304050607ll,
        0x08090A0B0C0D0E0Fll, 0x0001020304050607ll);
    const __m512i rev_nibble = _mm512_set_epi64(
        0x0F070B030D050901ll, 0x0E060A020C040800ll, 0x0F070B030D050901ll,
        0x0E060A020C040800ll, 0x0F070B030D050901ll, 0x0E060A020C040800ll,
        0x0F070B030D050901ll, 0x0E060A020C040800ll);
    const __m512i low4 = _mm512_set1_epi8(0x0F);
    size_t w = lo;
    for (; w + 8 <= hi; w += 8) {
        const uint64_t r = top - (uint64_t(w) << 6) - 63;
        const size_t q = size_t(r >> 6);
        const __m512i cr = _mm512_set1_epi64(int64_t(r & 63));
        const __m512i cl = _mm512_set1_epi64(int64_t(64 - (r & 63)));
        const __m512i low = _mm512_loadu_si512(buf + q - 7);
        const __m512i high = _mm512_loadu_si512(buf + q - 6);
        __m512i v = _mm512_or_si512(_mm512_maskz_srlv_epi64(0xFF, low, cr),
                                    _mm512_maskz_sllv_epi64(0xFF, high, cl));
        v = _mm512_maskz_permutexvar_epi64(0xFF, lane_order, v); /* lane k: word w + k */
        v = _mm512_shuffle_epi8(v, byte_order);
        const __m512i nlo = _mm512_shuffle_epi8(rev_nibble, _mm512_and_si512(v, low4));
        const __m512i nhi = _mm512_shuffle_epi8(
            rev_nibble, _mm512_and_si512(_mm512_srli_epi16(v, 4), low4));
        _mm512_storeu_si512(buf + w, _mm512_or_si512(_mm512_slli_epi16(nlo, 4), nhi));
    }
    for (; w < hi; w++)
        buf[w] = mirrored_word(buf, w, top);
}

int has_avx512(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

int has_avx2(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

#endif

#ifdef FMSS_NEON

/* ---- NEON ---------------------------------------------------------- */

/* Every AArch64 CPU has Advanced SIMD. Its shift takes a signed per-lane
 * count, negative for a right shift, and a count of 64 either way gives
 * zero: bs == 0 needs no special case, as with the x86 vector shifts. */
unsigned shift_or_neon(uint64_t *buf, size_t lo, size_t hi, size_t ws,
                       unsigned bs)
{
    const int64x2_t cl = vdupq_n_s64(int64_t(bs));
    const int64x2_t cr = vdupq_n_s64(-int64_t(64 - bs));
    uint64x2_t vand = vdupq_n_u64(~uint64_t(0)), vor = vdupq_n_u64(0);
    size_t w = hi + 1;
    while (w >= lo + 8) {
        w -= 8;
        const uint64_t *s = buf + w - ws;
        /* All loads before the stores: with ws < 8 the source overlaps the
         * block being written, and must be read as it was. */
        uint64x2_t a[4], b[4], d[4];
        for (int k = 0; k < 4; k++) {
            a[k] = vld1q_u64(s + 2 * k);
            b[k] = vld1q_u64(s + 2 * k - 1);
            d[k] = vld1q_u64(buf + w + 2 * k);
        }
        for (int k = 0; k < 4; k++) {
            d[k] = vorrq_u64(d[k], vorrq_u64(vshlq_u64(a[k], cl), vshlq_u64(b[k], cr)));
            vand = vandq_u64(vand, d[k]);
            vor = vorrq_u64(vor, d[k]);
        }
        for (int k = 3; k >= 0; k--)
            vst1q_u64(buf + w + 2 * k, d[k]);
    }
    written seen;
    seen.all_and = vminvq_u32(vreinterpretq_u32_u64(vand)) == ~uint32_t(0) ? ~uint64_t(0) : 0;
    seen.all_or = vmaxvq_u32(vreinterpretq_u32_u64(vor)) == 0 ? 0 : 1;
    shift_or_tail(buf, lo, w, ws, bs, seen);
    return seen.flags();
}

/* Reverses the bits of each 64-bit lane: of each byte, then the bytes. */
inline uint64x2_t reverse_lanes_bits(uint64x2_t v)
{
    return vreinterpretq_u64_u8(vrev64q_u8(vrbitq_u8(vreinterpretq_u8_u64(v))));
}

void mirror_neon(uint64_t *buf, size_t lo, size_t hi, uint64_t top)
{
    size_t w = lo;
    for (; w + 4 <= hi; w += 4) {
        /* Source of word w starts at bit r; of word w + k, 64k bits lower. */
        const uint64_t r = top - (uint64_t(w) << 6) - 63;
        const size_t q = size_t(r >> 6);
        const int64x2_t cr = vdupq_n_s64(-int64_t(r & 63));
        const int64x2_t cl = vdupq_n_s64(int64_t(64 - (r & 63)));
        uint64x2_t v[2];
        for (int k = 0; k < 2; k++) {
            /* Lanes: words q - 2k - 1 and q - 2k, the sources of w + 2k + 1
             * and w + 2k; vextq puts them in the order they are stored. */
            const uint64x2_t low = vld1q_u64(buf + q - 2 * k - 1);
            const uint64x2_t high = vld1q_u64(buf + q - 2 * k);
            const uint64x2_t t = vorrq_u64(vshlq_u64(low, cr), vshlq_u64(high, cl));
            v[k] = reverse_lanes_bits(vextq_u64(t, t, 1));
        }
        vst1q_u64(buf + w, v[0]);
        vst1q_u64(buf + w + 2, v[1]);
    }
    for (; w < hi; w++)
        buf[w] = mirrored_word(buf, w, top);
}

#endif

/* ---- choice -------------------------------------------------------- */

struct kernel_entry {
    kernel_family family;
    int (*usable)(void);
};

/* Best first: the automatic choice is the first usable entry. */
const kernel_entry kernels[] = {
#ifdef FMSS_X86
    {{"avx512", shift_or_avx512, mirror_avx512}, has_avx512},
    {{"avx2", shift_or_avx2, mirror_avx2}, has_avx2},
#endif
#ifdef FMSS_NEON
    {{"neon", shift_or_neon, mirror_neon}, always},
#endif
    {{"portable", shift_or_portable, mirror_portable}, always},
};
const int n_kernels = int(sizeof kernels / sizeof kernels[0]);

std::atomic<int> forced_kernel{-1};

int usable_named(const char *name)
{
    for (int i = 0; name != NULL && i < n_kernels; i++)
        if (strcmp(kernels[i].family.name, name) == 0)
            return kernels[i].usable() ? i : -1;
    return -1;
}

int kernel_index(void)
{
    int k = forced_kernel.load(std::memory_order_relaxed);
    if (k < 0)
        k = usable_named(getenv("PEMU_KERNEL"));
    for (int i = 0; k < 0 && i < n_kernels; i++)
        if (kernels[i].usable())
            k = i;
    return k;
}

} // namespace

const kernel_family &current_kernels(void)
{
    return kernels[kernel_index()].family;
}

} // namespace fmss

extern "C" int _fmss_select_kernel(const char *name)
{
    if (name == NULL) {
        fmss::forced_kernel.store(-1, std::memory_order_relaxed);
        return 0;
    }
    const int k = fmss::usable_named(name);
    if (k < 0)
        return -1;
    fmss::forced_kernel.store(k, std::memory_order_relaxed);
    return 0;
}

extern "C" const char *_fmss_kernel_name(void)
{
    return fmss::current_kernels().name;
}

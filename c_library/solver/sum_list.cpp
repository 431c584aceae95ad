/* Writing a result from the sorted list of sums. */
#include "solver/sum_list.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define FMSS_X86 1
#endif

namespace pemu::solver {

std::atomic<bool> sum_list_allowed{true};

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

} // namespace pemu::solver

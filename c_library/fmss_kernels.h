/* Word kernels of the local solver: one family per instruction set, all
 * with the same contracts, the family chosen at run time. Internal to the
 * library; the engine in fmss.cpp is their only caller. */
#ifndef PEMU_FMSS_KERNELS_H
#define PEMU_FMSS_KERNELS_H

#include <stddef.h>
#include <stdint.h>

namespace fmss {

/* What the words a shift-or call wrote became: all ones, all zero, or
 * neither (0). */
enum : unsigned { ALL_ONES = 1,
                  ALL_ZERO = 2 };

/* For w = hi down to lo (lo > ws): buf[w] |= word w of the set shifted up
 * by 64*ws + bs bits. Descending, so every source word is read before the
 * call changes it: each value is used at most once per pass. */
typedef unsigned (*shift_or_fn)(uint64_t *buf, size_t lo, size_t hi,
                                size_t ws, unsigned bs);

/* For w in [lo, hi): bit j of buf[w] becomes bit top - (64*w + j) of buf.
 * Every source bit lies below word lo, and top >= 64*hi - 1. */
typedef void (*mirror_fn)(uint64_t *buf, size_t lo, size_t hi, uint64_t top);

struct kernel_family {
    const char *name;
    shift_or_fn shift_or;
    mirror_fn mirror;
};

/* The family for the next solve: the one a test forced, else the one
 * PEMU_KERNEL names ("avx512", "avx2", "neon", "portable") when this CPU runs it,
 * else the best this CPU runs. PEMU_KERNEL is read on every call; an
 * unknown or unrunnable name quietly means the best. */
const kernel_family &current_kernels(void);

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

} // namespace fmss

#endif /* PEMU_FMSS_KERNELS_H */

/* Every subset of the values that makes a total: a walk over tables of
 * which remainders the values from each level on make. Magnitudes and the
 * shifted total as in subset.cpp. */
#include "subset.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <new>
#include <utility>

#include "subset_parts.h"

namespace pemu {
namespace {

using namespace subset_parts;

/* ---- every subset -------------------------------------------------------- */

/* Windows of the enumerator's levels: level k (0 ... n) holds which
 * remainders the values from k on make, over [lo, hi]: a walk meets level k
 * with at least t minus the values before k and at most t left, and only
 * remainders up to the values from k on can be made. Each level is a
 * bitset of its window or a sorted list of its members, whichever bound is
 * smaller: the values from k on make at most 2**(their count) sums. Zeros
 * share the level after them. */
struct windows {
    std::vector<uint64_t> lo, hi;
    std::vector<size_t> offset, stored;
    std::vector<uint8_t> list;
    uint64_t words = 0, bytes = 0; /* saturating */
};

uint64_t window_words(uint64_t lo, uint64_t hi)
{
    return lo > hi ? 0 : ((hi - lo) >> 6) + 1;
}

inline uint64_t add_saturating(uint64_t a, uint64_t b)
{
    return a + b < a ? UINT64_MAX : a + b;
}

windows plan_windows(const uint64_t *mag, size_t n, uint64_t all, uint64_t t)
{
    windows w;
    w.lo.assign(n + 1, 0);
    w.hi.assign(n + 1, 0);
    w.offset.assign(n + 1, 0);
    w.stored.assign(n + 1, n);
    w.list.assign(n + 1, 0);
    uint64_t prefix = 0;
    for (size_t k = 0; k <= n; k++) {
        w.lo[k] = t > prefix ? t - prefix : 0;
        w.hi[k] = std::min(t, all - prefix);
        if (k < n)
            prefix += mag[k];
    }
    /* Level 0 is never read: the walk starts at t, which it checks itself. */
    size_t after = 0; /* non-zero values from k on */
    for (size_t k = n; k >= 1; k--) {
        if (k < n && mag[k] == 0) {
            w.offset[k] = w.offset[k + 1];
            w.stored[k] = w.stored[k + 1];
            w.list[k] = w.list[k + 1];
            continue;
        }
        after += k < n;
        w.stored[k] = k;
        const uint64_t words = window_words(w.lo[k], w.hi[k]);
        const uint64_t entries =
            words == 0 ? 0
                       : std::min(after >= 63 ? UINT64_MAX : uint64_t(1) << after,
                                  w.hi[k] - w.lo[k] + 1);
        w.list[k] = entries < words;
        if (w.list[k]) {
            w.bytes = add_saturating(w.bytes, entries > UINT64_MAX / 8 ? UINT64_MAX : entries * 8);
        } else {
            w.offset[k] = size_t(w.words);
            w.words = add_saturating(w.words, words);
            w.bytes = add_saturating(w.bytes, words > UINT64_MAX / 8 ? UINT64_MAX : words * 8);
        }
    }
    return w;
}

} // namespace

uint64_t enumeration_table_bytes(const uint64_t *values,
                                 const uint8_t *negative, size_t count,
                                 wide_int total)
{
    uint64_t all = 0, neg = 0, t = 0;
    if (!sums_of(values, negative, count, &all, &neg) ||
        !shifted_total(total, all, neg, &t))
        return 0;
    return plan_windows(values, count, all, t).bytes;
}

uint64_t max_memory_budget(void)
{
    const char *v = getenv("PEMU_MAX_MEMORY");
    if (v != nullptr && *v != '\0') {
        uint64_t n = 0;
        bool whole = true;
        for (const char *c = v; *c != '\0' && whole; c++) {
            whole = *c >= '0' && *c <= '9' &&
                    !__builtin_mul_overflow(n, 10, &n) &&
                    !__builtin_add_overflow(n, uint64_t(*c - '0'), &n);
        }
        if (whole && n > 0)
            return n;
    }
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0)
        return uint64_t(1) << 30;
    return uint64_t(pages) * uint64_t(page) / 2;
}

subset_enumerator::made subset_enumerator::create(
    const uint64_t *values, const uint8_t *negative, size_t count,
    wide_int total, uint64_t budget, std::unique_ptr<subset_enumerator> *out,
    char *err_buf, const pemu_watch_t *watch)
{
    uint64_t all = 0, neg = 0, t = 0;
    if (!sums_of(values, negative, count, &all, &neg)) {
        fail("[Local failure] the values' magnitudes sum to 2**64 or more", err_buf);
        return made::failed;
    }
    std::unique_ptr<subset_enumerator> e(new (std::nothrow) subset_enumerator);
    if (!e) {
        fail("[Local failure] out of memory for the enumeration", err_buf);
        return made::failed;
    }
    if (!shifted_total(total, all, neg, &t)) {
        e->done_ = true; /* nothing reaches it */
        *out = std::move(e);
        return made::ok;
    }
    try {
        windows w = plan_windows(values, count, all, t);
        if (w.bytes > budget) {
            char msg[PEMU_ERR_BUF_SIZE];
            snprintf(msg, sizeof msg,
                     "[Local failure] enumerating needs %llu bytes of tables, "
                     "over the budget %llu (PEMU_MAX_MEMORY)",
                     (unsigned long long)w.bytes, (unsigned long long)budget);
            fail(msg, err_buf);
            return made::too_big;
        }
        e->n_ = count;
        e->mag_.assign(values, values + count);
        e->neg_.assign(count, 0);
        if (negative != nullptr)
            e->neg_.assign(negative, negative + count);
        e->lo_ = std::move(w.lo);
        e->hi_ = std::move(w.hi);
        e->offset_ = std::move(w.offset);
        e->stored_ = std::move(w.stored);
        e->is_list_ = std::move(w.list);
        e->lists_.resize(count + 1);
        e->table_bytes_ = w.bytes;
        e->rem_.assign(count + 1, 0);
        e->took_.assign(count + 1, 0);
        e->rem_[0] = t;
        e->words_.reset(static_cast<uint64_t *>(calloc(std::max<size_t>(size_t(w.words), 1), 8)));
        if (!e->words_) {
            fail("[Local failure] out of memory for the enumeration tables", err_buf);
            return made::failed;
        }
        if (!e->build(watch)) {
            fail("[Local failure] cancelled", err_buf);
            return made::failed;
        }
    } catch (const std::bad_alloc &) {
        fail("[Local failure] out of memory for the enumeration", err_buf);
        return made::failed;
    }
    *out = std::move(e);
    return made::ok;
}

template <class F>
void subset_enumerator::each_member(size_t level, uint64_t a, uint64_t b, F f) const
{
    a = std::max(a, lo_[level]);
    b = std::min(b, hi_[level]);
    if (a > b)
        return;
    const size_t at = stored_[level];
    if (is_list_[at]) {
        const std::vector<uint64_t> &l = lists_[at];
        for (auto i = std::lower_bound(l.begin(), l.end(), a); i != l.end() && *i <= b; ++i)
            f(*i);
        return;
    }
    const uint64_t *words = words_.get() + offset_[at], base = lo_[level];
    const uint64_t first = a - base, last = b - base;
    for (uint64_t w = first >> 6; w <= last >> 6; w++) {
        uint64_t m = words[w];
        if (w == first >> 6)
            m &= ~uint64_t(0) << (first & 63);
        if (w == last >> 6)
            m &= low_mask(unsigned(last & 63) + 1);
        for (; m != 0; m &= m - 1)
            f(base + (w << 6) + unsigned(__builtin_ctzll(m)));
    }
}

/* Levels n - 1 down to 1, each from the one after it: remainder r is made
 * from k on when the values after k make r, or r - v with v taken. Large
 * tables take a while: cancel is asked between levels, at once and then
 * every 20 ms. false when it said stop. */
bool subset_enumerator::build(const pemu_watch_t *watch)
{
    using clock = std::chrono::steady_clock;
    const bool watched = watch != nullptr && watch->cancel != nullptr;
    clock::time_point asked = clock::now() - std::chrono::milliseconds(20); /* at once */
    const size_t n = n_;
    uint64_t *tab = words_.get();
    tab[offset_[n]] = 1; /* level n: only the empty rest, remainder 0 */
    for (size_t k = n; k-- > 1;) {
        if (watched && clock::now() - asked >= std::chrono::milliseconds(20)) {
            asked = clock::now();
            if (watch->cancel(watch->cancel_user) != 0)
                return false;
        }
        if (mag_[k] == 0)
            continue; /* shares level k + 1 */
        const uint64_t lo = lo_[k], hi = hi_[k], v = mag_[k];
        const size_t nw = size_t(window_words(lo, hi));
        if (nw == 0)
            continue;
        const size_t next = stored_[k + 1];
        if (!is_list_[k] && !is_list_[next]) {
            const uint64_t nlo = lo_[k + 1];
            const size_t nnw = size_t(window_words(nlo, hi_[k + 1]));
            const uint64_t *from = tab + offset_[next];
            uint64_t *cur = tab + offset_[k];
            for (size_t w = 0; w < nw; w++) {
                const wide_int p = wide_int(lo) + wide_int(w) * 64 - wide_int(nlo);
                cur[w] = bits_at(from, nnw, p) | bits_at(from, nnw, p - wide_int(v));
            }
            /* Words beyond hi stay zero: bits_at reads them as absent. */
            cur[nw - 1] &= low_mask(unsigned((hi - lo) & 63) + 1);
            continue;
        }
        std::vector<uint64_t> kept, shifted;
        each_member(k + 1, lo, hi, [&](uint64_t r) { kept.push_back(r); });
        if (hi >= v)
            each_member(k + 1, lo >= v ? lo - v : 0, hi - v,
                        [&](uint64_t r) { shifted.push_back(r + v); });
        if (is_list_[k]) {
            std::vector<uint64_t> &l = lists_[k];
            l.reserve(kept.size() + shifted.size());
            std::set_union(kept.begin(), kept.end(), shifted.begin(), shifted.end(),
                           std::back_inserter(l));
            l.shrink_to_fit();
        } else {
            uint64_t *cur = tab + offset_[k];
            for (const auto *part : {&kept, &shifted})
                for (uint64_t r : *part)
                    cur[(r - lo) >> 6] |= uint64_t(1) << ((r - lo) & 63);
        }
    }
    return true;
}

bool subset_enumerator::member(size_t level, uint64_t r) const
{
    if (r < lo_[level] || r > hi_[level])
        return false;
    const size_t at = stored_[level];
    if (is_list_[at])
        return std::binary_search(lists_[at].begin(), lists_[at].end(), r);
    return bit(words_.get() + offset_[at], r - lo_[level]);
}

bool subset_enumerator::reachable_after(size_t k, uint64_t r) const
{
    return member(k + 1, r);
}

void subset_enumerator::descend(size_t from)
{
    for (size_t k = from; k < n_; k++) {
        const uint64_t r = rem_[k], v = mag_[k];
        const bool take = v <= r && reachable_after(k, r - v);
        took_[k] = take;
        rem_[k + 1] = take ? r - v : r;
    }
}

bool subset_enumerator::next(std::vector<size_t> &indices)
{
    if (done_)
        return false;
    if (!started_) {
        started_ = true;
        const uint64_t t = rem_[0];
        const bool any = n_ == 0 ? t == 0
                                 : reachable_after(0, t) ||
                                       (mag_[0] <= t && reachable_after(0, t - mag_[0]));
        if (!any) {
            done_ = true;
            return false;
        }
        descend(0);
    } else {
        /* The deepest level that took its value and may leave it out. */
        size_t k = n_;
        while (k > 0 && !(took_[k - 1] && reachable_after(k - 1, rem_[k - 1])))
            k--;
        if (k == 0) {
            done_ = true;
            return false;
        }
        took_[k - 1] = 0;
        rem_[k] = rem_[k - 1];
        descend(k);
    }
    if (n_ == 0)
        done_ = true; /* the one empty subset */
    indices.clear();
    for (size_t i = 0; i < n_; i++)
        if (took_[i] != neg_[i])
            indices.push_back(i);
    return true;
}

} // namespace pemu

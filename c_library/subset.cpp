/* Which values make a total.
 *
 * Negative values: a subset's negatives -a_i subtract, so with N the sum of
 * every negative's magnitude a subset sums to total exactly when its
 * positives and the negatives it leaves out sum, in magnitudes, to
 * total + N. Both searches below work on magnitudes and that shifted
 * total, and read "a negative taken" as "left out of the subset".
 *
 * One subset: the values split into two halves of about equal sum; the
 * bitset solver gives each half's sums, one pass finds a part s of the total
 * that the first half reaches while the second reaches the rest, and each
 * half is solved for its part in turn. Only two bitsets, together the size
 * of the node's, live at a time, and each level of the recursion costs
 * about half the one above. Small nodes are solved directly: by meeting in
 * the middle for a few values, by stored layers of a short bitset for many
 * small ones. */
#include "subset.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <tuple>
#include <utility>

#include "solver/driver.h"
#include "subset_parts.h"

namespace pemu {
namespace {

using namespace subset_parts;

/* ---- one subset --------------------------------------------------------- */

/* Leaves at most about this many word steps; their memory is bounded by
 * it too (layers) or by 4 * 2**20 entries of 16 bytes (meeting in the
 * middle, which also takes larger nodes whose bitsets would cost more: a
 * merge step costs about as much as 16 word steps). */
constexpr uint64_t LEAF_WORK = uint64_t(1) << 18;
constexpr size_t MEET_MAX = 40;
constexpr double MERGE_STEP_WORDS = 16;

using clock = std::chrono::steady_clock;
constexpr auto CANCEL_EVERY = std::chrono::milliseconds(20);
constexpr auto PROGRESS_EVERY = std::chrono::milliseconds(100);

struct search {
    const uint64_t *mag = nullptr;
    std::vector<uint8_t> taken; /* per value: in the magnitudes' subset */
    const pemu_watch_t *watch = nullptr;
    char *err_buf = nullptr;
    pemu_status_t status = 0;
    /* Progress in units of work (values times words), the whole search
     * being about work_all; the bitset solves report theirs through inner,
     * each its share from inner_base on. */
    double work_all = 1, work_done = 0, inner_base = 0, inner_span = 0;
    pemu_watch_t inner{};
    clock::time_point asked{}, told{};
    /* Both bitsets of a split live here, one node at a time: the first
     * split is the largest, and fresh pages for every node would cost more
     * in faults than the solves. */
    malloc_ptr<uint64_t[]> scratch;
    size_t scratch_words = 0;

    void watch_with(const pemu_watch_t *w)
    {
        watch = w;
        if (w == nullptr)
            return;
        inner.cancel = w->cancel;
        inner.cancel_user = w->cancel_user;
        if (w->progress != nullptr) {
            inner.progress = [](double f, void *user) {
                search *s = static_cast<search *>(user);
                if (f < 1.0) /* the search's own 1.0 comes at its end */
                    s->tell(s->inner_base + f * s->inner_span);
            };
            inner.progress_user = this;
        }
    }
    bool stop()
    {
        if (watch == nullptr || watch->cancel == nullptr)
            return false;
        const clock::time_point now = clock::now();
        if (now - asked < CANCEL_EVERY)
            return false;
        asked = now;
        if (watch->cancel(watch->cancel_user) == 0)
            return false;
        status = fail("[Local failure] cancelled", err_buf);
        return true;
    }
    void tell(double work)
    {
        if (watch == nullptr || watch->progress == nullptr)
            return;
        const clock::time_point now = clock::now();
        if (now - told < PROGRESS_EVERY)
            return;
        told = now;
        watch->progress(std::min(work / work_all, 0.99), watch->progress_user);
    }
    void did(double work)
    {
        work_done += work;
        tell(work_done);
    }
    uint64_t *scratch_for(size_t words)
    {
        if (words > scratch_words) {
            scratch.reset(static_cast<uint64_t *>(malloc(words * 8)));
            scratch_words = scratch ? words : 0;
            if (!scratch)
                status = fail("[Local failure] out of memory for the search", err_buf);
        }
        return scratch.get();
    }
};

using items_t = std::vector<size_t>;

/* Sums of every subset of the items, ascending, with the subset's mask. */
std::vector<std::pair<uint64_t, uint32_t>> sorted_sums(search &s,
                                                       const size_t *items,
                                                       size_t n)
{
    std::vector<std::pair<uint64_t, uint32_t>> sums{{0, 0}}, next;
    sums.reserve(size_t(1) << n);
    next.reserve(size_t(1) << n);
    for (size_t j = 0; j < n; j++) {
        const uint64_t v = s.mag[items[j]];
        const uint32_t b = uint32_t(1) << j;
        next.clear();
        size_t a = 0, c = 0; /* merge sums with sums + v */
        const size_t m = sums.size();
        while (a < m || c < m) {
            if (c == m || (a < m && sums[a].first <= sums[c].first + v))
                next.push_back(sums[a++]);
            else {
                next.emplace_back(sums[c].first + v, sums[c].second | b);
                c++;
            }
        }
        sums.swap(next);
    }
    return sums;
}

int meet_in_the_middle(search &s, const items_t &items, uint64_t t)
{
    const size_t h = items.size() / 2;
    const auto left = sorted_sums(s, items.data(), h);
    const auto right = sorted_sums(s, items.data() + h, items.size() - h);
    size_t i = 0, j = right.size();
    while (i < left.size() && j > 0) {
        const uint64_t sum = left[i].first + right[j - 1].first;
        if (sum < t) {
            i++;
        } else if (sum > t) {
            j--;
        } else {
            for (size_t k = 0; k < h; k++)
                s.taken[items[k]] = (left[i].second >> k) & 1;
            for (size_t k = h; k < items.size(); k++)
                s.taken[items[k]] = (right[j - 1].second >> (k - h)) & 1;
            return 1;
        }
    }
    return 0;
}

/* Every prefix's sums up to u = min(t, sum - t) kept, then walked back
 * from u: a value was needed where the prefix before it misses the
 * remainder. */
int stored_layers(search &s, const items_t &items, uint64_t sum, uint64_t t)
{
    const bool flip = t > sum - t;
    const uint64_t u = flip ? sum - t : t;
    const size_t n = items.size(), words = size_t(u >> 6) + 1;
    size_t cells = 0;
    malloc_ptr<uint64_t[]> layers(
        __builtin_mul_overflow(n + 1, words, &cells)
            ? nullptr
            : static_cast<uint64_t *>(calloc(cells, 8)));
    if (!layers) {
        s.status = fail("[Local failure] out of memory for the search", s.err_buf);
        return -1;
    }
    layers[0] = 1;
    const uint64_t top_mask = low_mask(unsigned(u & 63) + 1);
    for (size_t k = 1; k <= n; k++) {
        const uint64_t *prev = layers.get() + (k - 1) * words;
        uint64_t *cur = layers.get() + k * words;
        const uint64_t v = s.mag[items[k - 1]];
        for (size_t w = 0; w < words; w++)
            cur[w] = prev[w] | (v <= u ? bits_at(prev, words, wide_int(w) * 64 - v) : 0);
        cur[words - 1] &= top_mask;
    }
    if (!bit(layers.get() + n * words, u))
        return 0;
    uint64_t r = u;
    for (size_t k = n; k >= 1; k--) {
        const bool need = !bit(layers.get() + (k - 1) * words, r);
        if (need)
            r -= s.mag[items[k - 1]];
        s.taken[items[k - 1]] = need != flip;
    }
    return 1;
}

/* The sums of the items into set, words_for_total(sum) words; false on
 * failure (s.status). */
bool sums_bitset(search &s, const items_t &items, uint64_t sum, uint64_t *set)
{
    std::vector<uint64_t> vals(items.size());
    for (size_t i = 0; i < items.size(); i++)
        vals[i] = s.mag[items[i]];
    size_t words = words_for_total(sum);
    s.inner_base = s.work_done;
    s.inner_span = double(items.size()) * double(words);
    const pemu_watch_t *watch = s.watch != nullptr ? &s.inner : nullptr;
    /* The items' sum is known to fit: straight to the solver's room. */
    if (solver::solve(vals.data(), vals.size(), sum, set, &words, s.err_buf,
                      watch) != 0) {
        s.status = -1;
        return false;
    }
    s.work_done += s.inner_span;
    s.tell(s.work_done);
    return true;
}

/* Lowest s in [lo, hi] with bit s of a and bit t - s of b, or false. */
bool find_split(const uint64_t *a, size_t a_words, const uint64_t *b,
                size_t b_words, uint64_t lo, uint64_t hi, uint64_t t,
                uint64_t *found)
{
    for (uint64_t s = lo; s <= hi; s += 64) {
        /* Bit i: a at s + i, b at t - s - i. */
        uint64_t m = bits_at(a, a_words, s) &
                     reverse_bits(bits_at(b, b_words, wide_int(t) - s - 63));
        if (hi - s < 63)
            m &= low_mask(unsigned(hi - s) + 1);
        if (m != 0) {
            *found = s + unsigned(__builtin_ctzll(m));
            return true;
        }
        if (hi - s < 64)
            break;
    }
    return false;
}

/* 1 with the items' part of s.taken set so that the taken ones sum to t;
 * 0 when none do; -1 on failure (s.status). Items are sorted by
 * magnitude, largest first, and sum to `sum`. */
int solve_node(search &s, const items_t &items, uint64_t sum, uint64_t t)
{
    if (s.stop())
        return -1;
    const size_t n = items.size();
    if (t > sum)
        return 0;
    if (t == 0 || t == sum) {
        for (size_t i : items)
            s.taken[i] = t != 0;
        return 1;
    }
    /* Saturating: a product past 64 bits is work no leaf takes. */
    uint64_t layer_work;
    if (__builtin_mul_overflow(uint64_t(n), (std::min(t, sum - t) >> 6) + 1, &layer_work))
        layer_work = UINT64_MAX;
    const uint64_t meet_work = n <= MEET_MAX ? uint64_t(2) << ((n + 1) / 2) : UINT64_MAX;
    const double node_work = double(n) * double((sum >> 6) + 1);
    if (std::min(layer_work, meet_work) <= LEAF_WORK ||
        (n <= MEET_MAX && double(meet_work) * MERGE_STEP_WORDS <= node_work)) {
        const int r = meet_work <= layer_work ? meet_in_the_middle(s, items, t)
                                              : stored_layers(s, items, sum, t);
        s.did(node_work);
        return r;
    }

    /* Largest first to the lighter half: sums within the largest value. */
    items_t a, b;
    uint64_t sa = 0, sb = 0;
    a.reserve(n / 2 + 1);
    b.reserve(n / 2 + 1);
    for (size_t i : items) {
        if (sa <= sb) {
            a.push_back(i);
            sa += s.mag[i];
        } else {
            b.push_back(i);
            sb += s.mag[i];
        }
    }
    uint64_t part = 0;
    const size_t wa = words_for_total(sa), wb = words_for_total(sb);
    uint64_t *set_a = s.scratch_for(wa + wb);
    if (set_a == nullptr)
        return -1;
    uint64_t *set_b = set_a + wa;
    if (!sums_bitset(s, a, sa, set_a) || !sums_bitset(s, b, sb, set_b) || s.stop())
        return -1;
    const uint64_t lo = t > sb ? t - sb : 0, hi = std::min(t, sa);
    if (lo > hi || !find_split(set_a, wa, set_b, wb, lo, hi, t, &part))
        return 0;
    /* Both parts are reachable by construction; a miss is a fault. */
    for (auto [half, half_sum, want] : {std::tuple{&a, sa, part}, std::tuple{&b, sb, t - part}}) {
        const int r = solve_node(s, *half, half_sum, want);
        if (r < 0)
            return -1;
        if (r == 0) {
            s.status = fail("[Local failure] a half missed its part of the total",
                            s.err_buf);
            return -1;
        }
    }
    return 1;
}

} // namespace

namespace {

/* The search ended with its answer, a subset or none: progress is told 1.0
 * once either way. */
pemu_status_t answered(const pemu_watch_t *watch)
{
    if (watch != nullptr && watch->progress != nullptr)
        watch->progress(1.0, watch->progress_user);
    return 0;
}

} // namespace

pemu_status_t subset_with_sum(const uint64_t *values, const uint8_t *negative,
                              size_t count, wide_int total,
                              std::vector<size_t> &indices, bool *found,
                              char *err_buf, const pemu_watch_t *watch)
{
    indices.clear();
    *found = false;
    uint64_t all = 0, neg = 0, t = 0;
    if (!sums_of(values, negative, count, &all, &neg))
        return fail("[Local failure] the values' magnitudes sum to 2**64 or more",
                    err_buf);
    if (!shifted_total(total, all, neg, &t))
        return answered(watch);

    search s;
    s.mag = values;
    s.err_buf = err_buf;
    s.watch_with(watch);
    int r;
    try {
        s.taken.assign(count, 0);
        items_t items;
        for (size_t i = 0; i < count; i++)
            if (values[i] != 0)
                items.push_back(i);
        std::stable_sort(items.begin(), items.end(),
                         [&](size_t x, size_t y) { return values[x] > values[y]; });
        s.work_all = double(items.size()) * double((all >> 6) + 1) + 1;
        r = solve_node(s, items, all, t);
    } catch (const std::bad_alloc &) {
        return fail("[Local failure] out of memory for the search", err_buf);
    }
    if (r < 0)
        return s.status;
    if (r == 0)
        return answered(watch);

    wide_int check = 0;
    for (size_t i = 0; i < count; i++) {
        const bool in = s.taken[i] != (negative != nullptr && negative[i]);
        if (in) {
            indices.push_back(i);
            check += negative != nullptr && negative[i] ? -wide_int(values[i])
                                                        : wide_int(values[i]);
        }
    }
    if (check != total) {
        indices.clear();
        return fail("[Local failure] the subset found does not sum to the total",
                    err_buf);
    }
    *found = true;
    return answered(watch);
}

} // namespace pemu

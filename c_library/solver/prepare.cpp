/* Preparing the items of a local solve. */
#include "solver/prepare.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace pemu::solver {

namespace {

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

} // namespace

const char *prepare_items(const uint64_t *values, size_t count, size_t nonzero,
                          prepared_items *out)
{
    out->items.reset(static_cast<uint64_t *>(malloc(nonzero * 8)));
    uint64_t *items = out->items.get();
    if (items == NULL)
        return "[Local failure] out of memory for the items";
    uint64_t g = 0;
    for (size_t i = 0, k = 0; i < count; i++)
        if (values[i] != 0) {
            items[k++] = values[i];
            g = gcd64(values[i], g);
        }
    for (size_t i = 0; i < nonzero; i++)
        items[i] /= g;
    std::sort(items, items + nonzero);
    out->n = fold_repeats(items, nonzero);
    out->g = g;
    if (out->n == 0)
        return "[Local failure] out of memory for the items";
    return NULL;
}

} // namespace pemu::solver

/* Which values make a total: one subset, or every subset, of a list of
 * signed values whose members sum to a given total. Internal C++ interface
 * of the local solver; the binding is its only user besides the tests.
 *
 * Values come as magnitudes with a sign flag each (negative[i] != 0: the
 * value is -values[i]; negative may be NULL for all non-negative), the
 * magnitudes summing to at most 2**64 - 1. A total is any integer; totals
 * beyond +-(2**64 - 1) are never reached. Answers are ascending indices
 * into the values. */
#ifndef PEMU_SUBSET_H
#define PEMU_SUBSET_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <vector>

#include "pemu_internal.h"

namespace pemu {

using wide_int = __int128;

/* One subset summing to total into indices (ascending), with *found = true;
 * *found = false when none does. Divide and conquer over the bitset solver:
 * the values split into two halves, the total into two parts that the
 * halves reach, and each half is solved on its own for its part. Peak
 * memory is about one bitset of the whole problem (sum of the magnitudes
 * / 8 bytes); time about one complete solve. The answer is summed before
 * it is returned. Watched (watch may be NULL) as a local solve is: on the
 * calling thread, cancel about every 20 ms, progress at most every 100 ms
 * and 1.0 once when an answer was found. 0, or -1 with a "[Local failure] "
 * message in err_buf (may be NULL): out of memory, cancelled ("[Local
 * failure] cancelled"), or magnitudes past 2**64 - 1. */
pemu_status_t subset_with_sum(const uint64_t *values, const uint8_t *negative,
                              size_t count, wide_int total,
                              std::vector<size_t> &indices, bool *found,
                              char *err_buf,
                              const pemu_watch_t *watch = nullptr);

/* Bytes a subset_enumerator for this problem keeps in its tables: 0 when
 * the total is out of reach on its face. Saturates at UINT64_MAX. */
uint64_t enumeration_table_bytes(const uint64_t *values,
                                 const uint8_t *negative, size_t count,
                                 wide_int total);

/* The memory budget of the enumerator's tables: PEMU_MAX_MEMORY's value
 * when it is a whole number of bytes from 1 up, else half the machine's
 * memory. Read at each call. */
uint64_t max_memory_budget(void);

/* Every subset summing to total, each exactly once, in the order of a
 * depth-first walk that includes a value before it leaves it out.
 *
 * The tables hold, for each non-zero value i, which remainders the values
 * after it can still make, over the remainders a walk can meet there (at
 * most min(t, S - t) + 1 of them, S the magnitudes' sum and t the total
 * shifted by the negatives' magnitudes): each as bits of that window, or,
 * when fewer, as a sorted list of at most 2**m remainders (m the non-zero
 * values after i), 8 bytes each. So at most about
 * n * min((min(t, S - t) + 1) / 8, 8 * 2**m) bytes, plus a few words per
 * value, and while one level is made, two lists as long as its own. Every
 * step of the walk leads to an answer, so between two answers it takes at
 * most 2n steps of O(log) each. */
class subset_enumerator {
  public:
    enum class made { ok,
                      too_big,
                      failed };

    /* ok with *out set; too_big, before any table is made, when the tables
     * would pass `budget` bytes (message in err_buf); failed when memory
     * ran out, the magnitudes pass 2**64 - 1 or watch cancelled the making
     * of the tables (message in err_buf). The values are copied. */
    static made create(const uint64_t *values, const uint8_t *negative,
                       size_t count, wide_int total, uint64_t budget,
                       std::unique_ptr<subset_enumerator> *out, char *err_buf,
                       const pemu_watch_t *watch = nullptr);

    /* The next subset into indices (ascending); false once all were given. */
    bool next(std::vector<size_t> &indices);

    /* The bound of the tables' size that the budget was held against. */
    uint64_t table_bytes() const { return table_bytes_; }

    subset_enumerator(const subset_enumerator &) = delete;
    subset_enumerator &operator=(const subset_enumerator &) = delete;

  private:
    subset_enumerator() = default;
    bool build(const pemu_watch_t *watch);
    bool member(size_t level, uint64_t r) const;
    template <class F>
    void each_member(size_t level, uint64_t a, uint64_t b, F f) const;
    bool reachable_after(size_t k, uint64_t r) const;
    void descend(size_t from);

    size_t n_ = 0;
    std::vector<uint64_t> mag_;
    std::vector<uint8_t> neg_;
    /* Level k: the remainders that the values from k on make, over
     * [lo_[k], hi_[k]], held by level stored_[k] (k itself, or the level
     * after its zeros): as bits from words_ + offset_ on, or as the sorted
     * lists_[stored_[k]] where is_list_. Level n is the empty rest. */
    std::vector<uint64_t> lo_, hi_;
    std::vector<size_t> offset_, stored_;
    std::vector<uint8_t> is_list_;
    std::vector<std::vector<uint64_t>> lists_;
    malloc_ptr<uint64_t[]> words_;
    uint64_t table_bytes_ = 0;
    /* The walk: remainder before level k, and whether level k took its
     * value. */
    std::vector<uint64_t> rem_;
    std::vector<uint8_t> took_;
    bool started_ = false, done_ = false;
};

} // namespace pemu

#endif /* PEMU_SUBSET_H */

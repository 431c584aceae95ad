/* The local solver's side of a watch (pemu_watch_t): when to ask whether to
 * stop, when to tell how far it is, and what fraction that is. Internal to
 * the local solver. */
#ifndef PEMU_SOLVER_WATCH_H
#define PEMU_SOLVER_WATCH_H

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <chrono>

#include "pemu_internal.h"

namespace pemu::solver {

class solve_watch {
  public:
    /* items: the solve's items, in the order it takes them; half: the
     * highest sum it computes; words: what it writes at the end, after the
     * items. watch may be NULL. */
    solve_watch(const pemu_watch_t *watch, const uint64_t *items, size_t n,
                uint64_t half, size_t words)
        : watch_(watch), items_(items), n_(n), half_(half)
    {
        if (watch_ == NULL || (watch_->cancel == NULL && watch_->progress == NULL))
            watch_ = NULL;
        if (watch_ == NULL)
            return;
        /* Asked at once: a stop already due is not solved first. */
        last_cancel_ = clock::now() - CANCEL_EVERY;
        last_progress_ = clock::now() - PROGRESS_EVERY;
        /* Item k costs about as many words as the set then reaches. */
        uint64_t top = 0;
        for (size_t k = 0; k < n_; k++) {
            top += items_[k];
            total_ += double(std::min(top, half_) >> 6) + 1;
        }
        items_total_ = total_;
        total_ += FINAL_WEIGHT * double(words);
    }

    /* Asked before item k; true when the solve is to stop. */
    bool stop_before(size_t k)
    {
        if (watch_ == NULL)
            return false;
        item_ = k;
        return ask(k, 0);
    }

    /* Asked often (each round of a sweep) while the items from the last
     * stop_before on are moved; true when the solve is to stop. */
    bool stop_in_sweep() { return watch_ != NULL && ask(item_, 0); }

    bool watched() const { return watch_ != NULL; }

    /* Asked in the writing after the items, before word w; true when the
     * solve is to stop. */
    bool stop_at_word(size_t w)
    {
        if (watch_ == NULL)
            return false;
        return ask(n_, w);
    }

    /* The words written between two asks in the writing at the end. */
    size_t final_chunk() const
    {
        return watch_ == NULL ? ~size_t(0) >> 8 : FINAL_CHUNK_WORDS;
    }

  private:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds CANCEL_EVERY{20};
    static constexpr std::chrono::milliseconds PROGRESS_EVERY{100};
    /* A word of the writing at the end costs about as much as this many
     * words of an item's pass: it is written in full, on fresh pages. */
    static constexpr double FINAL_WEIGHT = 32;
    static constexpr size_t FINAL_CHUNK_WORDS = size_t(1) << 22;

    bool ask(size_t k, size_t w)
    {
        const clock::time_point now = clock::now();
        if (watch_->cancel != NULL && now - last_cancel_ >= CANCEL_EVERY) {
            last_cancel_ = now;
            if (watch_->cancel(watch_->cancel_user) != 0)
                return true;
        }
        if (watch_->progress != NULL && now - last_progress_ >= PROGRESS_EVERY) {
            for (; next_ < k; next_++) {
                top_ += items_[next_];
                done_ += double(std::min(top_, half_) >> 6) + 1;
            }
            last_progress_ = now;
            const double done = w > 0 ? items_total_ + FINAL_WEIGHT * double(w) : done_;
            /* Below 1.0 while it runs: the end is told once, on success. */
            watch_->progress(std::min(done / total_, 0.999), watch_->progress_user);
        }
        return false;
    }

    const pemu_watch_t *watch_;
    const uint64_t *items_;
    size_t n_;
    uint64_t half_;
    clock::time_point last_cancel_, last_progress_;
    double total_ = 0, done_ = 0, items_total_ = 0;
    size_t next_ = 0, item_ = 0;
    uint64_t top_ = 0;
};

} // namespace pemu::solver

#endif

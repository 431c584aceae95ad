/* The local solver's side of a watch (pemu_watch_t): when to ask whether to
 * stop, when to tell how far it is, and what fraction that is. Internal to
 * the local solver. */
#ifndef FMSS_WATCH_H
#define FMSS_WATCH_H

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <chrono>

#include "pemu_internal.h"

namespace fmss {

class solve_watch {
  public:
    /* items: the solve's items, in the order it takes them; half: the
     * highest sum it computes. watch may be NULL. */
    solve_watch(const pemu_watch_t *watch, const uint64_t *items, size_t n,
                uint64_t half)
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
    }

    /* Asked before item k; true when the solve is to stop. */
    bool stop_before(size_t k)
    {
        if (watch_ == NULL)
            return false;
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
            watch_->progress(std::min(done_ / total_, 1.0), watch_->progress_user);
        }
        return false;
    }

    /* At most how many items may share a sweep over a set reaching `reach`:
     * a sweep is not interrupted, so a watched one stays short. */
    size_t sweep_cap(uint64_t reach) const
    {
        if (watch_ == NULL)
            return ~size_t(0);
        return std::max<size_t>(1, size_t(SWEEP_BUDGET_WORDS / ((reach >> 6) + 1)));
    }

  private:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds CANCEL_EVERY{20};
    static constexpr std::chrono::milliseconds PROGRESS_EVERY{100};
    /* Words a watched sweep writes at most: some tens of milliseconds. */
    static constexpr uint64_t SWEEP_BUDGET_WORDS = uint64_t(1) << 24;

    const pemu_watch_t *watch_;
    const uint64_t *items_;
    size_t n_;
    uint64_t half_;
    clock::time_point last_cancel_, last_progress_;
    double total_ = 0, done_ = 0;
    size_t next_ = 0;
    uint64_t top_ = 0;
};

} // namespace fmss

#endif /* FMSS_WATCH_H */

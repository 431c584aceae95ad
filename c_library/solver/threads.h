/* Threads of one local solve: how many, and the two ways work is shared
 * among them (a team running one body, words split into pieces). */
#ifndef PEMU_SOLVER_THREADS_H
#define PEMU_SOLVER_THREADS_H

#include <stddef.h>
#include <stdint.h>

#if defined(__x86_64__)
#include <immintrin.h>
#define FMSS_X86 1
#endif
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace pemu::solver {

constexpr int MAX_THREADS = 64;
/* Below this many words a region stays on the calling thread: starting a
 * thread costs about as much as writing that much memory. Tests lower it. */
extern std::atomic<size_t> parallel_min_words;
/* Set by a test hook; 0: PEMU_THREADS decides. */
extern std::atomic<int> forced_threads;

/* The threads the next solve uses (see _fmss_thread_count). */
int solve_threads(void);

/* PEMU_THREADS's rule for a value and a number of cores. */
int thread_count(const char *value, int cores);

/* Runs body(t, n) for every t < n, on n threads, the caller's being t = 0;
 * n is `want`, or fewer when no more threads could be started. */
template <class Body>
void run_parallel(int want, const Body &body)
{
    std::thread helpers[MAX_THREADS - 1];
    std::atomic<int> team{0};
    int started = 0;
    for (; started + 1 < std::min(want, MAX_THREADS); started++) {
        try {
            helpers[started] = std::thread([&team, &body, t = started + 1] {
                team.wait(0);
                body(t, team.load());
            });
        } catch (...) {
            break;
        }
    }
    team.store(started + 1);
    team.notify_all();
    body(0, started + 1);
    for (int i = 0; i < started; i++)
        helpers[i].join();
}

/* Edge k of n pieces of [lo, hi); inner edges on multiples of align. */
inline size_t piece_edge(size_t lo, size_t hi, size_t k, size_t n, size_t align)
{
    if (k == 0 || k == n)
        return k == 0 ? lo : hi;
    const size_t edge = lo + (hi - lo) / n * k;
    return std::min(hi, (edge + align - 1) & ~(align - 1));
}

/* part(a, b) over pieces of words [lo, hi), several per thread, each taken
 * by whichever thread is free: one that loses its core holds up one piece,
 * not a share. Pieces of large ranges are whole 2 MiB pages, so that no two
 * threads fault in the same page. Small ranges stay on the caller. */
template <class Part>
void split_words(size_t lo, size_t hi, int threads, const Part &part)
{
    if (lo >= hi)
        return;
    if (threads <= 1 || hi - lo < parallel_min_words.load(std::memory_order_relaxed)) {
        part(lo, hi);
        return;
    }
    const size_t pieces = size_t(threads) * 8;
    const size_t align = (hi - lo) / pieces >= (size_t(1) << 18) ? size_t(1) << 18 : 4096;
    std::atomic<size_t> taken{0};
    run_parallel(threads, [&](int, int) {
        for (size_t k; (k = taken.fetch_add(1, std::memory_order_relaxed)) < pieces;) {
            const size_t a = piece_edge(lo, hi, k, pieces, align);
            const size_t b = piece_edge(lo, hi, k + 1, pieces, align);
            if (a < b)
                part(a, b);
        }
    });
}

/* Waiting for another thread's progress: spin briefly, then give the core
 * away, which matters when there are more threads than cores. */
constexpr unsigned YIELD_AFTER_SPINS = 256;
/* After this many (a few yields: each may cost a time slice when the
 * cores are busy), a thread takes on the work of others. */
constexpr unsigned HELP_AFTER_SPINS = YIELD_AFTER_SPINS + 16;

inline void wait_a_little(unsigned &spins)
{
    if (++spins < YIELD_AFTER_SPINS) {
#ifdef FMSS_X86
        _mm_pause();
#endif
    } else {
        sched_yield();
    }
}

} // namespace pemu::solver

#endif

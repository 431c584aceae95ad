/* How many threads a local solve gets. */
#include "solver/threads.h"

#include <stdlib.h>

namespace pemu::solver {

std::atomic<size_t> parallel_min_words{size_t(1) << 18};
std::atomic<int> forced_threads{0};

namespace {

int usable_cores(void)
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return CPU_COUNT(&set);
    return 1;
}

} // namespace

int solve_threads(void)
{
    const int forced = forced_threads.load(std::memory_order_relaxed);
    if (forced > 0)
        return forced;
    return thread_count(getenv("PEMU_THREADS"), usable_cores());
}

int thread_count(const char *value, int cores)
{
    cores = std::clamp(cores, 1, MAX_THREADS);
    if (value == NULL || *value == '\0')
        return cores;
    long n = 0;
    for (const char *c = value; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return cores;
        n = std::min(n * 10 + (*c - '0'), long(MAX_THREADS) + 1);
    }
    return n == 0 ? cores : std::min(int(n), cores);
}

} // namespace pemu::solver

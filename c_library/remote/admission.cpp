/* Exit safety: the host's exit tears down the TLS library under any
 * transfer still running. shut_down sets `closing` and waits until
 * `calls_inside` (remote calls admitted and not yet done with libcurl)
 * drops to zero; calls ask `closing` in every progress callback, and their
 * pauses wake on shutdown_fd. */
#include "remote/admission.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pemu::remote {

namespace {

std::mutex calls_mu;
std::condition_variable calls_done;
int calls_inside = 0; /* guarded by calls_mu */
std::atomic<bool> closing{false};

/* Readable once shut_down has run (never read, so it stays so): every
 * pause waits on it. -1 when it could not be made; pauses then wake in
 * slices. */
int shutdown_fd = -1;
pthread_once_t shutdown_fd_once = PTHREAD_ONCE_INIT;
void make_shutdown_fd(void) { shutdown_fd = eventfd(0, EFD_CLOEXEC); }

} // namespace

admission::admission()
{
    std::lock_guard<std::mutex> lock(calls_mu);
    admitted_ = !closing.load();
    if (admitted_)
        calls_inside++;
}

admission::~admission()
{
    if (!admitted_)
        return;
    std::lock_guard<std::mutex> lock(calls_mu);
    if (--calls_inside == 0)
        calls_done.notify_all();
}

bool call_cancelled(const call_cancel *c)
{
    return closing.load(std::memory_order_relaxed) ||
           (c->ask != NULL && c->ask(c->user) != 0);
}

/* A caller hook is asked every 100 ms; shutdown wakes every pause at once.
 * Time is counted in waits that ran out (an interrupted one is repeated),
 * so a stand-in for ppoll that returns at once still sees the exact
 * schedule. */
bool pause_unless_cancelled(unsigned seconds, const call_cancel *cancel)
{
    pthread_once(&shutdown_fd_once, make_shutdown_fd);
    const uint64_t slice_ms =
        cancel->ask != NULL || shutdown_fd < 0 ? 100 : 86400 * 1000;
    for (uint64_t left_ms = (uint64_t)seconds * 1000; left_ms > 0;) {
        if (call_cancelled(cancel))
            return false;
        const uint64_t ms = left_ms < slice_ms ? left_ms : slice_ms;
        const struct timespec t = {(time_t)(ms / 1000),
                                   (long)(ms % 1000) * 1000000};
        struct pollfd wake = {shutdown_fd, POLLIN, 0};
        int rc = ppoll(&wake, shutdown_fd >= 0 ? 1 : 0, &t, NULL);
        /* Only a signal repeats a slice: a failing ppoll must not spin. */
        if (rc == 0 || (rc < 0 && errno != EINTR))
            left_ms -= ms;
    }
    return !call_cancelled(cancel);
}

pemu_status_t shut_down(unsigned timeout_ms)
{
    std::unique_lock<std::mutex> lock(calls_mu);
    closing.store(true);
    pthread_once(&shutdown_fd_once, make_shutdown_fd);
    if (shutdown_fd >= 0) {
        const uint64_t one = 1;
        ssize_t w = write(shutdown_fd, &one, sizeof one);
        (void)w; /* a full counter is readable all the same */
    }
    bool idle = calls_done.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [] { return calls_inside == 0; });
    return idle ? 0 : -1;
}

} // namespace pemu::remote

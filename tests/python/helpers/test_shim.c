/* Preloaded into test processes to stand in for the parts of the system a
 * test cannot change:
 * - the client's pauses return at once and are recorded, one line of whole
 *   seconds per pause, in the file named by PEMU_SHIM_SLEEP_LOG, so the
 *   whole back-off schedule can be checked in milliseconds. A pause waits
 *   in ppoll() calls, maybe several; those between two transfers
 *   (curl_easy_perform) make one pause. sleep() is recorded as one pause;
 * - access() reports ENOENT for every path listed (colon-separated) in
 *   PEMU_SHIM_HIDE_PATHS, so a machine's CA store can be made to vanish;
 * - PEMU_SHIM_CURL_TIME_DIVISOR=d divides every transfer time limit the
 *   client sets (connect timeout, low-speed window, deadline) by d, so the
 *   limits show in seconds instead of minutes. The speed floor itself is
 *   left as the client set it. */
#define _GNU_SOURCE
#include <curl/curl.h>
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static unsigned long long pending_ns; /* slices of the pause under way */

static void record_pause(unsigned long long seconds)
{
    const char *path = getenv("PEMU_SHIM_SLEEP_LOG");
    if (path != NULL && path[0] != '\0') {
        FILE *f = fopen(path, "a");
        if (f != NULL) {
            fprintf(f, "%llu\n", seconds);
            fclose(f);
        }
    }
}

static void flush_pause(void)
{
    unsigned long long ns = __atomic_exchange_n(&pending_ns, 0, __ATOMIC_SEQ_CST);
    if (ns != 0)
        record_pause((ns + 500000000ull) / 1000000000ull);
}

__attribute__((destructor)) static void flush_at_exit(void) { flush_pause(); }

unsigned int sleep(unsigned int seconds)
{
    flush_pause();
    record_pause(seconds);
    return 0;
}

int ppoll(struct pollfd *fds, nfds_t nfds, const struct timespec *timeout,
          const sigset_t *sigmask)
{
    (void)fds;
    (void)nfds;
    (void)sigmask;
    if (timeout != NULL)
        __atomic_add_fetch(&pending_ns,
                           (unsigned long long)timeout->tv_sec * 1000000000ull +
                               (unsigned long long)timeout->tv_nsec,
                           __ATOMIC_SEQ_CST);
    return 0;
}

/* libcurl arrives with the module, in a scope of its own that RTLD_NEXT
 * does not search. */
static void *curl_symbol(const char *name)
{
    void *sym = dlsym(RTLD_NEXT, name);
    if (sym == NULL) {
        void *lib = dlopen("libcurl.so.4", RTLD_LAZY | RTLD_NOLOAD);
        if (lib != NULL)
            sym = dlsym(lib, name);
    }
    if (sym == NULL) {
        fprintf(stderr, "test shim: no %s\n", name);
        abort();
    }
    return sym;
}

CURLcode curl_easy_perform(CURL *h)
{
    static CURLcode (*real_perform)(CURL *);
    flush_pause();
    if (real_perform == NULL)
        real_perform = (CURLcode(*)(CURL *))curl_symbol("curl_easy_perform");
    return real_perform(h);
}

#undef curl_easy_setopt
CURLcode curl_easy_setopt(CURL *h, CURLoption option, ...)
{
    static CURLcode (*real_setopt)(CURL *, CURLoption, ...);
    if (real_setopt == NULL)
        real_setopt = (CURLcode(*)(CURL *, CURLoption, ...))curl_symbol(
            "curl_easy_setopt");
    va_list ap;
    va_start(ap, option);
    /* Every option's argument is a long, a pointer or a curl_off_t: all
     * one 64-bit register here. */
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const char *div_text = getenv("PEMU_SHIM_CURL_TIME_DIVISOR");
    long div = div_text != NULL ? atol(div_text) : 0;
    if (div > 1) {
        long v = (long)arg;
        switch (option) {
        case CURLOPT_TIMEOUT:
            return real_setopt(h, CURLOPT_TIMEOUT_MS, v * 1000 / div);
        case CURLOPT_CONNECTTIMEOUT:
            return real_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, v * 1000 / div);
        case CURLOPT_TIMEOUT_MS:
        case CURLOPT_CONNECTTIMEOUT_MS:
            return real_setopt(h, option, v / div > 0 ? v / div : 1);
        case CURLOPT_LOW_SPEED_TIME:
            return real_setopt(h, option, v / div > 0 ? v / div : 1);
        default: break;
        }
    }
    return real_setopt(h, option, arg);
}

static int hidden(const char *path)
{
    const char *list = getenv("PEMU_SHIM_HIDE_PATHS");
    size_t len = strlen(path);
    while (list != NULL && *list != '\0') {
        const char *end = strchr(list, ':');
        size_t n = end != NULL ? (size_t)(end - list) : strlen(list);
        if (n == len && strncmp(list, path, n) == 0)
            return 1;
        list = end != NULL ? end + 1 : NULL;
    }
    return 0;
}

int access(const char *path, int mode)
{
    static int (*real_access)(const char *, int);
    if (hidden(path)) {
        errno = ENOENT;
        return -1;
    }
    if (real_access == NULL)
        real_access = (int (*)(const char *, int))dlsym(RTLD_NEXT, "access");
    return real_access(path, mode);
}

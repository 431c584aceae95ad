/* Linked into the test shim: while PEMU_SHIM_HOLD_THREADS is set, every new
 * thread waits at its start until pemu_shim_release_threads() is called, so
 * that a worker can be made to arrive at any later moment of the process. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

static pthread_mutex_t hold_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t hold_changed = PTHREAD_COND_INITIALIZER;
static int held_started; /* threads ever held */
static int held_running; /* held threads whose start routine has not returned */
static int released;

struct held_start {
    void *(*start)(void *);
    void *arg;
};

static void *held_thread(void *p)
{
    struct held_start s = *(struct held_start *)p;
    free(p);
    pthread_mutex_lock(&hold_lock);
    while (!released)
        pthread_cond_wait(&hold_changed, &hold_lock);
    pthread_mutex_unlock(&hold_lock);
    void *ret = s.start(s.arg);
    pthread_mutex_lock(&hold_lock);
    held_running--;
    pthread_cond_broadcast(&hold_changed);
    pthread_mutex_unlock(&hold_lock);
    return ret;
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                   void *(*start)(void *), void *arg)
{
    static int (*real_create)(pthread_t *, const pthread_attr_t *,
                              void *(*)(void *), void *);
    if (real_create == NULL)
        real_create = (int (*)(pthread_t *, const pthread_attr_t *,
                               void *(*)(void *), void *))dlsym(RTLD_NEXT, "pthread_create");
    const char *hold = getenv("PEMU_SHIM_HOLD_THREADS");
    if (hold == NULL || hold[0] == '\0')
        return real_create(thread, attr, start, arg);
    struct held_start *s = malloc(sizeof *s);
    if (s == NULL)
        return EAGAIN;
    s->start = start;
    s->arg = arg;
    pthread_mutex_lock(&hold_lock);
    int rc = real_create(thread, attr, held_thread, s);
    if (rc == 0) {
        held_started++;
        held_running++;
    } else {
        free(s);
    }
    pthread_mutex_unlock(&hold_lock);
    return rc;
}

/* How many threads were held so far. */
int pemu_shim_held_threads(void)
{
    pthread_mutex_lock(&hold_lock);
    int n = held_started;
    pthread_mutex_unlock(&hold_lock);
    return n;
}

/* Lets the held threads go and waits up to timeout_ms for all of them to
 * finish; returns how many are still running. */
int pemu_shim_release_threads(int timeout_ms)
{
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += timeout_ms / 1000;
    until.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&hold_lock);
    released = 1;
    pthread_cond_broadcast(&hold_changed);
    while (held_running > 0 &&
           pthread_cond_timedwait(&hold_changed, &hold_lock, &until) == 0) {
    }
    int left = held_running;
    pthread_mutex_unlock(&hold_lock);
    return left;
}

/* Preloaded into test processes to stand in for the parts of the system a
 * test cannot change:
 * - sleep() records its argument as one line in the file named by
 *   PEMU_SHIM_SLEEP_LOG and returns at once, so the client's whole back-off
 *   schedule can be checked in milliseconds;
 * - access() reports ENOENT for every path listed (colon-separated) in
 *   PEMU_SHIM_HIDE_PATHS, so a machine's CA store can be made to vanish. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

unsigned int sleep(unsigned int seconds)
{
    const char *path = getenv("PEMU_SHIM_SLEEP_LOG");
    if (path != NULL && path[0] != '\0') {
        FILE *f = fopen(path, "a");
        if (f != NULL) {
            fprintf(f, "%u\n", seconds);
            fclose(f);
        }
    }
    return 0;
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

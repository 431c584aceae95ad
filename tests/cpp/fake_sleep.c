/* Preloaded into test processes: records each sleep() instead of waiting,
 * so the client's whole back-off schedule can be checked in milliseconds.
 * Each pause is appended as one line to the file named by
 * PEMU_FAKE_SLEEP_LOG. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

unsigned int sleep(unsigned int seconds)
{
    const char *path = getenv("PEMU_FAKE_SLEEP_LOG");
    if (path != NULL && path[0] != '\0') {
        FILE *f = fopen(path, "a");
        if (f != NULL) {
            fprintf(f, "%u\n", seconds);
            fclose(f);
        }
    }
    return 0;
}

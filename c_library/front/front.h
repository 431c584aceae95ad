/* The front door's machinery: the path of a request, and the worker of an
 * asynchronous one. */
#ifndef PEMU_FRONT_H
#define PEMU_FRONT_H

#include "hdr/pemu_lib.h"
#include "pemu_plumbing.h"

namespace pemu::front {

/* The local solver when PEMU_KILLSWITCH says so, else the remote client;
 * the watch's progress hears 1.0 once on a success of either. */
pemu::path_fn route;

/* Starts the worker of one request. NULL once it runs (it then owns
 * values), else what failed; nothing is taken over then. */
const char *start_worker(uint64_t *values, size_t count, callback_t callback,
                         void *user);

/* Hands a failure to the callback without a result; used when the request
 * cannot even start, so that the caller's user pointer is still released. */
void deliver_local_failure(callback_t callback, void *user, const char *msg);

/* The worker's body: sizes the result, solves, calls back once. Takes
 * ownership of the record. */
void run_request(void *record);

} // namespace pemu::front

#endif

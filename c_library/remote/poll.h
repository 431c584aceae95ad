/* The poll phase: attempts with growing pauses until the result is ready,
 * then its decoding. */
#ifndef PEMU_REMOTE_POLL_H
#define PEMU_REMOTE_POLL_H

#include "remote/config.h"
#include "remote/exchange.h"

namespace pemu::remote {

/* Polls for request_id's result until it is ready, the attempts run out or
 * the call is cancelled; then hands it to x's decoder. */
pemu_status_t poll_result(remote_call &call, const char *request_id,
                          const exchange &x);

} // namespace pemu::remote

#endif

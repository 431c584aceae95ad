/* The poll phase: attempts with growing pauses until the result is ready,
 * then its decoding. */
#ifndef PEMU_REMOTE_POLL_H
#define PEMU_REMOTE_POLL_H

#include "remote/config.h"

namespace pemu::remote {

/* Polls for request_id's result until it is ready, the attempts run out or
 * the call is cancelled; then checks and decodes it into result. */
pemu_status_t poll_result(remote_call &call, const char *request_id,
                          uint64_t total, uint64_t *result,
                          size_t *result_words);

} // namespace pemu::remote

#endif

/* The remote solving client: one call, from its configuration through the
 * submit and poll phases. */
#ifndef PEMU_REMOTE_CLIENT_H
#define PEMU_REMOTE_CLIENT_H

#include "remote/admission.h"

namespace pemu::remote {

/* Solves values (whose total, already checked, is total) on the service
 * into result; -1 with the message in err_buf (may be NULL) on failure. */
pemu_status_t fetch(const uint64_t *values, size_t count, uint64_t total,
                    uint64_t *result, size_t *result_words, char *err_buf,
                    call_cancel cancel);

} // namespace pemu::remote

#endif

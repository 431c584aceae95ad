/* What one kind of problem exchanges with the service: the rest (config,
 * admission, transfers, retries, the poll schedule, the answer reader) is
 * the same for every kind. */
#ifndef PEMU_REMOTE_EXCHANGE_H
#define PEMU_REMOTE_EXCHANGE_H

#include <functional>

#include "pemu_internal.h"

namespace pemu::remote {

struct exchange {
    const char *submit_path; /* after the base URL */
    const char *poll_prefix; /* after the base URL, before the request id */
    /* The submit body: new malloc'ed text, or NULL. */
    std::function<char *()> body;
    /* The longest ready body an answer to this problem can be. */
    size_t max_body;
    /* Turns a ready body into the caller's answer: the call's status, with
     * the message in err_buf on failure. */
    std::function<pemu_status_t(const body_buffer_t &, char *err_buf)> decode;
};

/* One remote call of the exchange x, from its configuration through the
 * submit and poll phases; watch may be NULL. */
pemu_status_t run_exchange(const exchange &x, char *err_buf,
                           const pemu_watch_t *watch);

} // namespace pemu::remote

#endif

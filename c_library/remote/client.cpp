/* One remote call: preparation, admission, then the two phases. */
#include "remote/client.h"

#include "pemu_internal.h"

#include "remote/answer.h"
#include "remote/config.h"
#include "remote/decode.h"
#include "remote/exchange.h"
#include "remote/poll.h"
#include "remote/submit.h"

namespace pemu::remote {

pemu_status_t run_exchange(const exchange &x, char *err_buf,
                           const pemu_watch_t *watch)
{
    /* Everything that can fail without traffic fails before any. */
    const char *why = NULL;
    curl_slist_ptr submit_headers(key_headers(1, &why));
    if (!submit_headers)
        return pemu::fail(why, err_buf);
    remote_call call = {{},
                        {watch != NULL ? watch->cancel : NULL,
                         watch != NULL ? watch->cancel_user : NULL},
                        err_buf};
    why = take_config(&call.config);
    if (why != NULL)
        return pemu::fail(why, err_buf);

    admission admitted;
    if (!admitted.admitted())
        return pemu::fail(kCancelled, err_buf);
    init_curl_once();

    char request_id[kRequestIdMax + 1];
    request_id[0] = '\0';
    if (submit_problem(call, submit_headers.get(), x, request_id) != 0)
        return -1;
    /* The submit list is done with; the poll reads the key anew. */
    submit_headers.reset();
    return poll_result(call, request_id, x);
}

pemu_status_t fetch(const uint64_t *values, size_t count, uint64_t total,
                    uint64_t *result, size_t *result_words, char *err_buf,
                    const pemu_watch_t *watch)
{
    const exchange x = {
        "/v0/app/sspu", "/v0/result?requestId=",
        [&] { return request_body(values, count); },
        max_gzip_body(pemu::words_for_total(total) * 8),
        [&](const body_buffer_t &body, char *buf) {
            return decode_result(body, total, result, result_words, buf);
        }};
    return run_exchange(x, err_buf, watch);
}

} // namespace pemu::remote

/* Polling for a submitted problem's result. */
#include "remote/poll.h"

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <string>

#include "remote/answer.h"

namespace pemu::remote {

namespace {

constexpr long kMaxRedirects = 10;

struct poll_policy {
    int default_limit;        /* attempts when PEMU_MAXRETRIES is unset */
    int override_floor;       /* the least an override can give */
    unsigned max_pause_shift; /* 2**31 s still fits an unsigned pause */
};
constexpr poll_policy kPoll = {20, 30, 31};

unsigned poll_pause_seconds(const poll_policy &p, int attempt)
{
    unsigned e = (unsigned)attempt / 2;
    return 1u << (e < p.max_pause_shift ? e : p.max_pause_shift);
}

struct body_bytes_deleter {
    void operator()(body_buffer_t *b) const { free(b->bytes); }
};

/* One poll attempt: the poll URL and the redirects it leads to, followed
 * here so that the key goes only to the service's own origin. */
CURLcode poll_once(remote_call &call, const char *poll_url, curl_slist *headers,
                   poll_intake *in, bool *no_handle)
{
    const char *base = call.config.base_url.get();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(kLimits.deadline_s);
    std::string url = poll_url;
    for (long hop = 0;; hop++) {
        curl_handle_ptr h(curl_easy_init());
        if (!h) {
            *no_handle = true;
            return CURLE_FAILED_INIT;
        }
        start_hop(in, h.get());
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return CURLE_OPERATION_TIMEDOUT;
        curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
        /* The poll URL itself is the base URL's, whatever its request id
         * makes of it; a hop's target has to prove its origin. */
        if (hop == 0 || same_origin(url.c_str(), base))
            curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(h.get(), CURLOPT_FOLLOWLOCATION, 0L);
        set_ca(h.get(), call.config.ca.get());
        curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, in);
        curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, poll_write);
        set_common_options(h.get(), &call.cancel, (long)left.count());
        CURLcode res = curl_easy_perform(h.get());
        if (res != CURLE_OK)
            return res;
        char *next = NULL;
        long code = 0;
        curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &code);
        if (code / 100 != 3 ||
            curl_easy_getinfo(h.get(), CURLINFO_REDIRECT_URL, &next) != CURLE_OK ||
            next == NULL)
            return CURLE_OK;
        if (hop >= kMaxRedirects)
            return CURLE_TOO_MANY_REDIRECTS;
        url = next;
        if (call_cancelled(&call.cancel))
            return CURLE_ABORTED_BY_CALLBACK;
    }
}

} // namespace

pemu_status_t poll_result(remote_call &call, const char *request_id,
                          const exchange &x)
{
    const char *why = take_base_url(&call.config.base_url);
    if (why != NULL)
        return pemu::fail(why, call.err_buf);
    char *url_raw = NULL;
    if (asprintf(&url_raw, "%s%s%s", call.config.base_url.get(),
                 x.poll_prefix, request_id) < 0)
        return pemu::fail("[Local failure] url failed to generate", call.err_buf);
    c_string_ptr poll_url(url_raw);
    curl_slist_ptr headers(key_headers(2, &why));
    if (!headers)
        return pemu::fail(why, call.err_buf);
    poll_intake in = {{static_cast<char *>(malloc(1)), 0},
                      x.max_body,
                      NULL,
                      chunk_verdict::stored,
                      false};
    /* The write function may move the bytes; release whatever they end as. */
    std::unique_ptr<body_buffer_t, body_bytes_deleter> body_owner(&in.body);
    if (in.body.bytes == NULL)
        return pemu::fail("[Local failure] body buffer failed to allocate",
                          call.err_buf);

    CURLcode res = CURLE_OK;
    int limit = kPoll.default_limit;
    for (int j = 0; j < limit; j++) {
        bool no_handle = false;
        res = poll_once(call, poll_url.get(), headers.get(), &in, &no_handle);
        if (no_handle)
            return pemu::fail("[Local failure] curl failed to generate",
                              call.err_buf);
        if (res != CURLE_OK && call_cancelled(&call.cancel))
            return pemu::fail(kCancelled, call.err_buf);
        char text[PEMU_ERR_BUF_SIZE];
        switch (read_answer(res, in, text, sizeof text)) {
        case answer::ready:
            return x.decode(in.body, call.err_buf);
        case answer::failed: return pemu::fail(text, call.err_buf);
        case answer::too_long:
            return pemu::fail("Result body is longer than any result of this "
                              "size can be",
                              call.err_buf);
        case answer::not_ready: break;
        }
        if (j == 0)
            limit = retries_override(kPoll.override_floor, limit);
        pemu::say("Result not ready (%d)\n", (int)res);
        if (!pause_unless_cancelled(poll_pause_seconds(kPoll, j), &call.cancel))
            return pemu::fail(kCancelled, call.err_buf);
    }
    return fail_with_curl_code(res, call.err_buf);
}

} // namespace pemu::remote

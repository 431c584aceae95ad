/* Options and limits of every transfer. */
#include "remote/transfer.h"

#include <pthread.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>

#include "remote/trace.h"

namespace pemu::remote {

namespace {

struct curl_url_deleter {
    void operator()(CURLU *u) const { curl_url_cleanup(u); }
};
using curl_url_ptr = std::unique_ptr<CURLU, curl_url_deleter>;

pthread_once_t curl_init_once = PTHREAD_ONCE_INIT;
void curl_init_process(void) { curl_global_init(CURL_GLOBAL_ALL); }

int progress_cancel(void *clientp, curl_off_t, curl_off_t, curl_off_t,
                    curl_off_t)
{
    return call_cancelled(static_cast<const call_cancel *>(clientp)) ? 1 : 0;
}

} // namespace

void init_curl_once(void) { pthread_once(&curl_init_once, curl_init_process); }

void set_common_options(CURL *h, call_cancel *cancel, long deadline_ms)
{
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, trace_without_key);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kLimits.connect_s);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, kLimits.floor_bytes_per_s);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kLimits.floor_window_s);
    if (deadline_ms > 0)
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, deadline_ms);
    else
        curl_easy_setopt(h, CURLOPT_TIMEOUT, kLimits.deadline_s);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, progress_cancel);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, cancel);
}

void set_ca(CURL *h, const char *ca)
{
    struct stat st;
    /* A directory given as a CA file fails every handshake. */
    if (stat(ca, &st) == 0 && S_ISDIR(st.st_mode))
        curl_easy_setopt(h, CURLOPT_CAPATH, ca);
    else
        curl_easy_setopt(h, CURLOPT_CAINFO, ca);
}

bool same_origin(const char *a, const char *b)
{
    curl_url_ptr ua(curl_url()), ub(curl_url());
    if (!ua || !ub || curl_url_set(ua.get(), CURLUPART_URL, a, 0) != CURLUE_OK ||
        curl_url_set(ub.get(), CURLUPART_URL, b, 0) != CURLUE_OK)
        return false;
    static const CURLUPart parts[] = {CURLUPART_SCHEME, CURLUPART_HOST,
                                      CURLUPART_PORT};
    for (CURLUPart part : parts) {
        char *x = NULL, *y = NULL;
        const unsigned flags = part == CURLUPART_PORT ? CURLU_DEFAULT_PORT : 0;
        bool equal = curl_url_get(ua.get(), part, &x, flags) == CURLUE_OK &&
                     curl_url_get(ub.get(), part, &y, flags) == CURLUE_OK &&
                     strcasecmp(x, y) == 0;
        curl_free(x);
        curl_free(y);
        if (!equal)
            return false;
    }
    return true;
}

void curl_failure_text(CURLcode res, char *out, size_t cap)
{
    snprintf(out, cap, "Submit problem curl failed with %d", (int)res);
}

pemu_status_t fail_with_curl_code(CURLcode res, char *err_buf)
{
    char msg[64];
    curl_failure_text(res, msg, sizeof msg);
    return pemu::fail(msg, err_buf);
}

} // namespace pemu::remote

/* Front door of the solver library: path selection, the asynchronous
 * worker, and the remote solving client. */
#include "pemu_internal.h"

#include <curl/curl.h>
#include <zlib.h>

#include <endian.h>
#include <errno.h>
#include <inttypes.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

/* ==================================================================== */
/* Shared by every room                                                 */
/* ==================================================================== */

extern "C" void _safe_copy_to_err_buff(const char *msg, char *err_buf)
{
    pemu::say("Failed with error: %s\n", msg);
    if (err_buf != NULL) {
        strncpy(err_buf, msg, PEMU_ERR_BUF_SIZE - 1);
        err_buf[PEMU_ERR_BUF_SIZE - 1] = '\0';
    }
}

/* ==================================================================== */
/* Front door                                                           */
/* ==================================================================== */

extern "C" int keep_local(void)
{
    const char *v = getenv("PEMU_KILLSWITCH");
    return v != NULL && strcmp(v, "1") == 0;
}

extern "C" pemu_status_t fetch_complete_subset_sum(uint64_t *values,
                                                   size_t count,
                                                   uint64_t *result,
                                                   size_t *result_words,
                                                   char *err_buf)
{
    return fetch_complete_subset_sum_cancellable(values, count, result,
                                                 result_words, err_buf, NULL,
                                                 NULL);
}

extern "C" pemu_status_t fetch_complete_subset_sum_cancellable(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf, pemu_cancel_t cancel, void *cancel_user)
{
    return fetch_complete_subset_sum_watched(values, count, result,
                                             result_words, err_buf, cancel,
                                             cancel_user, NULL, NULL);
}

extern "C" pemu_status_t fetch_complete_subset_sum_watched(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf, pemu_cancel_t cancel, void *cancel_user,
    pemu_progress_t progress, void *progress_user)
{
    if (keep_local()) {
        const pemu_watch_t watch = {cancel, cancel_user, progress,
                                    progress_user};
        return _fmss_solve_watched(values, count, result, result_words,
                                   err_buf, &watch);
    }
    /* The service says nothing of how far it is: only the end. */
    pemu_status_t status = _online_fetch_cancellable(
        values, count, result, result_words, err_buf, cancel, cancel_user);
    if (status == 0 && progress != NULL)
        progress(1.0, progress_user);
    return status;
}

/* ==================================================================== */
/* Asynchronous requests                                                */
/* ==================================================================== */

namespace {

struct async_request {
    uint64_t *values; /* owned: freed once the solve is over */
    size_t count;
    callback_t callback;
    void *user;
};

/* Hands a failure to the callback without a result; used when the request
 * cannot even start, so that the caller's user pointer is still released. */
void deliver_local_failure(callback_t callback, void *user, const char *msg)
{
    char err_buf[PEMU_ERR_BUF_SIZE];
    _safe_copy_to_err_buff(msg, err_buf);
    /* The callback frees both; a NULL result is fine for free(). */
    uint64_t *words = static_cast<uint64_t *>(calloc(1, sizeof(uint64_t)));
    char *text = strdup(err_buf);
    callback(-1, words, words != NULL ? 1 : 0, user, text);
}

} // namespace

extern "C" void *fetch_complete_subset_sum_async_helper(void *record)
{
    async_request req = *static_cast<async_request *>(record);
    free(record);

    char err_buf[PEMU_ERR_BUF_SIZE];
    err_buf[0] = '\0';
    uint64_t *buffer = NULL;
    size_t words = 1;
    pemu_status_t status = -1;

    uint64_t total = 0;
    if (!pemu::sum_values(req.values, req.count, &total)) {
        _safe_copy_to_err_buff("[Local failure] overflow on input", err_buf);
    } else if ((buffer = static_cast<uint64_t *>(calloc(
                    pemu::words_for_total(total), sizeof(uint64_t)))) == NULL) {
        _safe_copy_to_err_buff("[Local failure] result buffer allocation failed",
                               err_buf);
    } else {
        words = pemu::words_for_total(total);
        status = fetch_complete_subset_sum(req.values, req.count, buffer,
                                           &words, err_buf);
    }
    free(req.values);

    char *text = NULL;
    if (status != 0) {
        status = -1;
        text = strdup(err_buf); /* may be NULL under memory pressure */
    }
    req.callback(status, buffer, buffer != NULL ? words : 0, req.user, text);
    return NULL;
}

namespace {

/* Starts the worker of one request. NULL once it runs (it then owns values),
 * else what failed; nothing is taken over then. */
const char *start_worker(uint64_t *values, size_t count, callback_t callback,
                         void *user)
{
    async_request *req =
        static_cast<async_request *>(malloc(sizeof(async_request)));
    if (req == NULL)
        return "[Local failure] request allocation failed";
    *req = async_request{values, count, callback, user};

    pthread_attr_t attr;
    pthread_t thread;
    int rc = pthread_attr_init(&attr);
    if (rc == 0) {
        /* Nobody joins workers; detached threads leave nothing behind. */
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        /* The callback runs arbitrary Python code on this thread: give it at
         * least the stack of an ordinary Python thread (the default), and
         * never less than the gzip decoder needs when the default is tiny. */
        const size_t min_stack = size_t{1} << 20;
        size_t stack = 0;
        if (pthread_attr_getstacksize(&attr, &stack) == 0 && stack < min_stack)
            pthread_attr_setstacksize(&attr, min_stack);
        rc = pthread_create(&thread, &attr,
                            fetch_complete_subset_sum_async_helper, req);
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        free(req);
        return "[Local failure] worker thread failed to start";
    }
    return NULL;
}

} // namespace

extern "C" pemu_status_t fetch_complete_subset_sum_async_start(
    uint64_t *values, size_t count, callback_t callback, void *user)
{
    return start_worker(values, count, callback, user) == NULL ? 0 : -1;
}

extern "C" void fetch_complete_subset_sum_async(uint64_t *values, size_t count,
                                                callback_t callback,
                                                void *user)
{
    const char *failure = start_worker(values, count, callback, user);
    if (failure != NULL) {
        free(values);
        deliver_local_failure(callback, user, failure);
    }
}

/* ==================================================================== */
/* Remote solving client                                                */
/* ==================================================================== */

namespace {

constexpr size_t kRequestIdMax = 1999;
constexpr size_t kKeyMax = 50;
constexpr size_t kMessageMax = 511;
constexpr size_t kScratchBytes = 65536;
constexpr int kSubmitAttempts = 5;
constexpr long kMaxRedirects = 10;
constexpr const char *kDefaultBaseUrl = "https://localhost:8443";
constexpr const char *kCancelled = "[Local failure] request cancelled";
constexpr const char *kNotHttps =
    "[Local failure] PEMU_BASE_URL must be an https:// URL";

struct curl_easy_deleter {
    void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
struct curl_slist_deleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
struct curl_url_deleter {
    void operator()(CURLU *u) const { curl_url_cleanup(u); }
};
struct body_bytes_deleter {
    void operator()(body_buffer_t *b) const { free(b->bytes); }
};
using curl_handle_ptr = std::unique_ptr<CURL, curl_easy_deleter>;
using curl_slist_ptr = std::unique_ptr<curl_slist, curl_slist_deleter>;
using curl_url_ptr = std::unique_ptr<CURLU, curl_url_deleter>;
using c_string_ptr = pemu::malloc_ptr<char>;

pthread_once_t curl_init_once = PTHREAD_ONCE_INIT;
void curl_init_process(void) { curl_global_init(CURL_GLOBAL_ALL); }

/* Both phases end on a failed transfer with this one message. */
pemu_status_t fail_with_curl_code(CURLcode res, char *err_buf)
{
    char msg[64];
    snprintf(msg, sizeof msg, "Submit problem curl failed with %d", (int)res);
    return pemu::fail(msg, err_buf);
}

/* ---- exit safety ---------------------------------------------------- */

/* The host's exit tears down the TLS library under any transfer still
 * running. pemu_shutdown sets `closing` and waits until `calls_inside`
 * (remote calls admitted and not yet done with libcurl) drops to zero;
 * calls ask `closing` in every progress callback, and their pauses wake on
 * shutdown_fd. */
std::mutex calls_mu;
std::condition_variable calls_done;
int calls_inside = 0; /* guarded by calls_mu */
std::atomic<bool> closing{false};

/* One remote call's stake in the count; admitted is false once closing. */
class remote_call_admission {
  public:
    remote_call_admission()
    {
        std::lock_guard<std::mutex> lock(calls_mu);
        admitted_ = !closing.load();
        if (admitted_)
            calls_inside++;
    }
    ~remote_call_admission()
    {
        if (!admitted_)
            return;
        std::lock_guard<std::mutex> lock(calls_mu);
        if (--calls_inside == 0)
            calls_done.notify_all();
    }
    remote_call_admission(const remote_call_admission &) = delete;
    remote_call_admission &operator=(const remote_call_admission &) = delete;
    bool admitted() const { return admitted_; }

  private:
    bool admitted_;
};

struct call_cancel {
    pemu_cancel_t ask; /* may be NULL */
    void *user;
};

bool call_cancelled(const call_cancel *c)
{
    return closing.load(std::memory_order_relaxed) ||
           (c->ask != NULL && c->ask(c->user) != 0);
}

int progress_cancel(void *clientp, curl_off_t, curl_off_t, curl_off_t,
                    curl_off_t)
{
    return call_cancelled(static_cast<const call_cancel *>(clientp)) ? 1 : 0;
}

/* Readable once pemu_shutdown has run (never read, so it stays so): every
 * pause waits on it. -1 when it could not be made; pauses then wake in
 * slices. */
int shutdown_fd = -1;
pthread_once_t shutdown_fd_once = PTHREAD_ONCE_INIT;
void make_shutdown_fd(void) { shutdown_fd = eventfd(0, EFD_CLOEXEC); }

/* Waits the pause out unless the call is cancelled first (false). A caller
 * hook is asked every 100 ms; shutdown wakes every pause at once. Time is
 * counted in waits that ran out (an interrupted one is repeated), so a
 * stand-in for ppoll that returns at once still sees the exact schedule. */
bool pause_unless_cancelled(unsigned seconds, const call_cancel *cancel)
{
    pthread_once(&shutdown_fd_once, make_shutdown_fd);
    const uint64_t slice_ms =
        cancel->ask != NULL || shutdown_fd < 0 ? 100 : 86400 * 1000;
    for (uint64_t left_ms = (uint64_t)seconds * 1000; left_ms > 0;) {
        if (call_cancelled(cancel))
            return false;
        const uint64_t ms = left_ms < slice_ms ? left_ms : slice_ms;
        const struct timespec t = {(time_t)(ms / 1000),
                                   (long)(ms % 1000) * 1000000};
        struct pollfd wake = {shutdown_fd, POLLIN, 0};
        int rc = ppoll(&wake, shutdown_fd >= 0 ? 1 : 0, &t, NULL);
        /* Only a signal repeats a slice: a failing ppoll must not spin. */
        if (rc == 0 || (rc < 0 && errno != EINTR))
            left_ms -= ms;
    }
    return !call_cancelled(cancel);
}

/* ---- what a transfer may cost -------------------------------------- */

/* Any real server is faster than the floor; the deadline caps a transfer
 * that stays just above it. Redirect hops of one poll attempt share the
 * deadline. */
struct transfer_limits {
    long connect_s;
    long floor_bytes_per_s;
    long floor_window_s;
    long deadline_s;
};
constexpr transfer_limits kLimits = {30, 1024, 30, 300};

/* ---- poll policy ---------------------------------------------------- */

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

/* The body was refused as not ready (23) or the transfer was transient. */
bool poll_not_ready(CURLcode res)
{
    return res == CURLE_WRITE_ERROR || _curl_transient_err(res);
}

/* Read once, after the first attempt that was not ready. */
int poll_limit_override(const poll_policy &p, int limit)
{
    const char *override_limit = getenv("PEMU_MAXRETRIES");
    if (override_limit == NULL)
        return limit;
    int n = atoi(override_limit);
    limit = n > p.override_floor ? n : p.override_floor;
    pemu::say("Overrode max retries to %d", limit);
    return limit;
}

/* ---- request preparation -------------------------------------------- */

const char *base_url(void)
{
    const char *v = getenv("PEMU_BASE_URL");
    return (v != NULL && v[0] != '\0') ? v : kDefaultBaseUrl;
}

bool is_https_url(const char *url)
{
    return strncasecmp(url, "https://", 8) == 0;
}

/* A control character in the key would write header lines of its own. */
bool api_key_is_clean(void)
{
    const char *key = getenv("PEMU_API_KEY");
    for (const unsigned char *p = (const unsigned char *)(key ? key : ""); *p;
         p++)
        if (*p < 0x20 || *p == 0x7f)
            return false;
    return true;
}

/* Scheme, host and port of both URLs agree (default ports filled in). */
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

/* ---- trace ------------------------------------------------------------ */

/* Writes one trace line with the value of any "x-api-key:" in it replaced
 * by "***"; a bracketed form ("[x-api-key: v]") keeps its bracket. */
void write_masked_line(const char *line, size_t len)
{
    static const char key[] = "x-api-key:";
    const size_t key_len = sizeof key - 1;
    size_t at = len;
    for (size_t i = 0; i + key_len <= len; i++) {
        if (strncasecmp(line + i, key, key_len) == 0) {
            at = i;
            break;
        }
    }
    if (at == len) {
        fwrite(line, 1, len, stderr);
        return;
    }
    size_t eol = len;
    while (eol > at && (line[eol - 1] == '\n' || line[eol - 1] == '\r'))
        eol--;
    const bool bracketed = at > 0 && line[at - 1] == '[' && eol > at + key_len &&
                           line[eol - 1] == ']';
    fwrite(line, 1, at + key_len, stderr);
    fputs(bracketed ? " ***]" : " ***", stderr);
    fwrite(line + eol, 1, len - eol, stderr);
}

/* The libcurl trace, as libcurl itself would print it, but with the API
 * key masked in every line: request headers, and the informational lines
 * in which HTTP/2 restates them. */
int trace_without_key(CURL *, curl_infotype type, char *data, size_t size,
                      void *)
{
    const char *pre;
    switch (type) {
    case CURLINFO_TEXT: pre = "* "; break;
    case CURLINFO_HEADER_IN: pre = "< "; break;
    case CURLINFO_HEADER_OUT: pre = "> "; break;
    default: return 0;
    }
    fwrite(pre, 1, 2, stderr);
    size_t i = 0;
    while (i < size) {
        const char *nl = static_cast<const char *>(memchr(data + i, '\n', size - i));
        size_t end = nl != NULL ? (size_t)(nl - data) + 1 : size;
        write_masked_line(data + i, end - i);
        i = end;
    }
    return 0;
}

/* Options that every transfer gets beside the request's own: HTTPS only,
 * bounded in time, no signals (several threads), cancellable, and a trace
 * that hides the key. */
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

} // namespace

extern "C" const char *const pemu_curl_ca_locs[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/pki/tls/cacert.pem",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/cert.pem",
    "/etc/ssl/certs",
    "/system/etc/security/cacerts",
    "/usr/local/share/certs",
    "/etc/pki/tls/certs",
    "/etc/openssl/certs",
    "/var/ssl/certs",
};
extern "C" const int pemu_curl_ca_loc_max = 12;

extern "C" int _curl_transient_err(int code)
{
    return code == CURLE_OPERATION_TIMEDOUT || code == CURLE_SSL_CONNECT_ERROR;
}

extern "C" struct curl_slist *_generate_slist(int mode)
{
    if (!api_key_is_clean())
        return NULL;
    const char *key = getenv("PEMU_API_KEY");
    char *line = NULL;
    if (asprintf(&line, "x-api-key: %s", key != NULL ? key : "") < 0)
        return NULL;
    curl_slist *list = curl_slist_append(NULL, line);
    free(line);
    if (list == NULL || mode != 1)
        return list;
    curl_slist *more = curl_slist_append(list, "Content-Type: application/json");
    if (more == NULL)
        curl_slist_free_all(list);
    return more;
}

extern "C" char *_generate_curl_data(const uint64_t *values, size_t count)
{
    /* Up to 20 digits and a comma a value: enough for any 64-bit values,
     * whatever their sum. */
    if (count > (SIZE_MAX - 3) / 21)
        return NULL;
    size_t cap = count * 21 + 3;
    char *text = static_cast<char *>(malloc(cap));
    if (text == NULL)
        return NULL;
    size_t len = 0;
    text[len++] = '[';
    for (size_t i = 0; i < count; i++) {
        int w = snprintf(text + len, cap - len, i == 0 ? "%" PRIu64 : ",%" PRIu64,
                         values[i]);
        if (w <= 0) {
            free(text);
            return NULL;
        }
        len += (size_t)w;
    }
    text[len++] = ']';
    text[len] = '\0';
    return text;
}

namespace {

/* Where the service's certificate is checked, or why there is none. */
struct ca_choice {
    const char *location; /* NULL when none exists */
    const char *failure;  /* the call's message then */
};

ca_choice choose_ca(void)
{
    const char *own = getenv("PEMU_CA_BUNDLE");
    if (own != NULL && own[0] != '\0') {
        pemu::say("Checking curl cert location %s\n", own);
        if (access(own, F_OK) == 0) {
            pemu::say("Found curl cert\n");
            return {own, NULL};
        }
        /* An explicit choice that is missing must not fall back silently. */
        return {NULL, "[Local failure] PEMU_CA_BUNDLE names nothing that exists"};
    }
    for (int i = 0; i < pemu_curl_ca_loc_max; i++) {
        pemu::say("Checking curl cert location %s\n", pemu_curl_ca_locs[i]);
        if (access(pemu_curl_ca_locs[i], F_OK) == 0) {
            pemu::say("Found curl cert\n");
            return {pemu_curl_ca_locs[i], NULL};
        }
    }
    return {NULL, "Couldn't find ca cert"};
}

} // namespace

extern "C" const char *_curl_ca_location(void) { return choose_ca().location; }

namespace {

bool is_stop_byte(char c) { return c == '"' || c == ',' || c == '}'; }

/* Rejection of a submit answer: the text becomes the call's failure. */
size_t reject_answer(submit_response_t *resp, char *text)
{
    free(resp->err_msg);
    resp->err_msg = text;
    resp->status = -1;
    if (text != NULL)
        pemu::say("%s\n", text);
    return 0;
}

/* Copies a value up to a stop byte or max characters into dst (NUL-ended).
 * Returns false when the chunk ended first. */
bool copy_value(const char *p, size_t n, size_t *pos, char *dst, size_t max)
{
    size_t c = 0;
    while (c < max) {
        if (*pos >= n) {
            dst[c] = '\0';
            return false;
        }
        if (is_stop_byte(p[*pos]))
            break;
        dst[c++] = p[(*pos)++];
    }
    dst[c] = '\0';
    return true;
}

} // namespace

extern "C" size_t make_request_write_callback(char *ptr, size_t size,
                                              size_t nmemb, void *userdata)
{
    (void)size; /* libcurl always passes 1 */
    submit_response_t *resp = static_cast<submit_response_t *>(userdata);
    const char *p = ptr;
    const size_t n = nmemb;
    resp->status = 0;
    if (n == 0)
        return 0;

    if (p[0] != '{') {
        char *text = NULL;
        if (asprintf(&text, "unexpected opening character to response %c", p[0]) < 0)
            text = NULL;
        return reject_answer(resp, text);
    }

    size_t pos = 1;
    while (pos < n && p[pos] == '"') {
        pos++;
        char key[kKeyMax + 1];
        size_t k = 0;
        while (pos < n && k < kKeyMax && p[pos] != '"')
            key[k++] = p[pos++];
        key[k] = '\0';

        /* Closing quote, colon, blank and a value byte must all fit. */
        if (pos + 3 >= n) {
            pemu::say("Ran out of buffer during transition to val\n");
            return pos;
        }
        if (p[pos] != '"') {
            pemu::say("Unexpected character after key 0x%x\n", (unsigned char)p[pos]);
            return pos;
        }
        pos++;
        if (p[pos] != ':') {
            pemu::say("Unexpected character after key+1 0x%x\n", (unsigned char)p[pos]);
            return pos;
        }
        pos++;
        if (p[pos] == ' ')
            pos++;

        const bool is_id = strcmp(key, "requestId") == 0;
        const bool is_message = strcmp(key, "message") == 0;
        if (pos < n && p[pos] == '"')
            pos++;
        if (is_id || is_message) {
            char message[kMessageMax + 1];
            char *dst = is_id ? resp->request_id : message;
            if (!copy_value(p, n, &pos, dst, is_id ? kRequestIdMax : kMessageMax)) {
                pemu::say("Ran out of buffer during val scraping");
                return pos;
            }
            if (is_message) {
                pemu::say("Got message %s\n", message);
                if (strcmp(message, "Forbidden") == 0)
                    pemu::say("Bad API key\n");
                char *text = NULL;
                if (asprintf(&text, "%s", message) < 0)
                    text = NULL;
                return reject_answer(resp, text);
            }
        } else {
            while (pos < n && !is_stop_byte(p[pos]))
                pos++;
        }

        if (pos < n && p[pos] == '"')
            pos++;
        while (pos < n && (p[pos] == ',' || p[pos] == ' '))
            pos++;
    }

    if (pos < n) {
        if (p[pos] == '}')
            return pos + 1;
        pemu::say("Unexpected ending character %c\n", p[pos]);
    }
    return pos;
}

extern "C" size_t write_memory_callback(char *contents, size_t size,
                                        size_t nmemb, void *userp)
{
    body_buffer_t *body = static_cast<body_buffer_t *>(userp);
    if (nmemb != 0 && size > SIZE_MAX / nmemb)
        return 0;
    const size_t n = size * nmemb;
    static const char message[] = "{\"message\":";
    static const char xml[] = "<?xml version=\"1.0\" encoding=";
    if (n >= 10 && memcmp(contents, message, 10) == 0)
        return 0;
    if (n >= 15 && memcmp(contents, xml, 15) == 0) {
        /* The chunk is not NUL-terminated: print at most its own bytes. */
        const char *nul = static_cast<const char *>(memchr(contents, '\0', n));
        pemu::say("Output is not expected binary, got ");
        fwrite(contents, 1, nul != NULL ? (size_t)(nul - contents) : n, stdout);
        fflush(stdout);
        return 0;
    }
    if (n == 0)
        return 0;
    if (body->length > SIZE_MAX - n) {
        pemu::say("not enough memory (realloc returned NULL)\n");
        return 0;
    }
    char *grown = static_cast<char *>(realloc(body->bytes, body->length + n));
    if (grown == NULL) {
        pemu::say("not enough memory (realloc returned NULL)\n");
        return 0;
    }
    body->bytes = grown;
    memcpy(body->bytes + body->length, contents, n);
    body->length += n;
    return n;
}

extern "C" int gunzip(unsigned char *dest, uint64_t *dest_len,
                      const unsigned char *source, uint64_t source_len)
{
    if (source_len > UINT_MAX || *dest_len > UINT_MAX)
        return Z_BUF_ERROR;
    z_stream s;
    memset(&s, 0, sizeof s);
    s.next_in = const_cast<unsigned char *>(source);
    s.avail_in = (uInt)source_len;
    s.next_out = dest;
    s.avail_out = (uInt)*dest_len;
    int rc = inflateInit2(&s, 31);
    if (rc != Z_OK)
        return rc;
    rc = inflate(&s, Z_FINISH);
    if (rc != Z_STREAM_END) {
        inflateEnd(&s);
        return rc == Z_OK ? Z_BUF_ERROR : rc;
    }
    *dest_len = s.total_out;
    return inflateEnd(&s);
}

extern "C" int _unzip_data(body_buffer_t *body, unzip_output_t *out)
{
    unsigned char scratch[kScratchBytes];
    z_stream s;
    memset(&s, 0, sizeof s);
    int rc = inflateInit2(&s, 31);
    if (rc != Z_OK)
        return rc;

    const unsigned char *in = reinterpret_cast<unsigned char *>(body->bytes);
    size_t in_left = body->length;
    const size_t capacity = *out->word_count;
    /* Words are cleared only up to the last non-zero byte seen: trailing
     * zero bytes leave the caller's words as they were. */
    size_t cleared = 0;
    uint64_t offset = 0; /* output bytes before the scratch area */
    bool overrun = false;
    uint64_t overrun_at = 0;
    const uint64_t overrun_budget = 2 * (uint64_t)capacity * 8 + (1u << 20);

    while (true) {
        if (s.avail_in == 0 && in_left > 0) {
            s.next_in = const_cast<unsigned char *>(in);
            s.avail_in = in_left > UINT_MAX ? UINT_MAX : (uInt)in_left;
            in += s.avail_in;
            in_left -= s.avail_in;
        }
        s.next_out = scratch;
        s.avail_out = sizeof scratch;
        rc = inflate(&s, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
            break; /* Z_DATA_ERROR, Z_NEED_DICT, Z_MEM_ERROR */
        const size_t got = sizeof scratch - s.avail_out;
        for (size_t i = 0; i < got && !overrun; i++) {
            const uint64_t b = offset + i;
            /* A word at a time where the bytes line up: results are mostly
             * runs of zero or all-one words, and a byte loop over a result
             * of a hundred megabytes costs as much as the inflate itself. */
            if ((b & 7) == 0 && got - i >= 8) {
                uint64_t v;
                memcpy(&v, scratch + i, 8);
                v = le64toh(v);
                const uint64_t w = b / 8;
                if (v == 0) {
                    i += 7;
                    continue;
                }
                if (w < capacity) {
                    for (; cleared <= w; cleared++)
                        out->words[cleared] = 0;
                    out->words[w] |= v;
                    i += 7;
                    continue;
                }
                /* Past the capacity: the byte path below reports it. */
            }
            if (scratch[i] == 0)
                continue;
            const uint64_t w = b / 8;
            if (w >= capacity) {
                /* Keep the words that fit, but read on so that a corrupt
                 * body does not pass for an oversized one: up to a budget,
                 * since a gzip bomb would inflate for ever. */
                for (; cleared < capacity; cleared++) out->words[cleared] = 0;
                pemu::say("Overrun output size\n");
                overrun = true;
                overrun_at = offset;
                break;
            }
            for (; cleared <= w; cleared++)
                out->words[cleared] = 0;
            out->words[w] |= (uint64_t)scratch[i] << (8 * (b % 8));
        }
        offset += got;
        if (overrun && offset - overrun_at > overrun_budget) {
            rc = Z_OK;
            break;
        }
        if (rc == Z_STREAM_END) {
            rc = Z_OK;
            break;
        }
        /* No progress with all input given: the stream is cut short. */
        if (rc == Z_BUF_ERROR && got == 0 && s.avail_in == 0 && in_left == 0)
            break;
    }
    out->done = 1;
    out->overrun = overrun ? 1 : 0;
    out->words_written = cleared;
    inflateEnd(&s);
    return rc;
}

/* ---- result intake and checks ---------------------------------------- */

namespace {

/* Gzip's own header and trailer (18 bytes) and room for the optional name,
 * comment and extra fields of the header. */
constexpr size_t kGzipSlack = 4096;

/* A poll attempt's body, bounded by what a gzip stream of the result can
 * take at worst. */
struct poll_intake {
    body_buffer_t body;
    size_t max_body;
    CURL *hop; /* the transfer now writing */
    bool too_long;
};

size_t max_gzip_body(size_t result_bytes)
{
    uLong bound = compressBound((uLong)result_bytes);
    return bound > SIZE_MAX - kGzipSlack ? SIZE_MAX : (size_t)bound + kGzipSlack;
}

size_t poll_write(char *contents, size_t size, size_t nmemb, void *userp)
{
    poll_intake *in = static_cast<poll_intake *>(userp);
    long code = 0;
    char *location = NULL;
    /* A redirect's own body is no answer (libcurl drops it when it
     * follows redirects itself). */
    if (curl_easy_getinfo(in->hop, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK &&
        code / 100 == 3 &&
        curl_easy_getinfo(in->hop, CURLINFO_REDIRECT_URL, &location) == CURLE_OK &&
        location != NULL)
        return size * nmemb;
    curl_off_t announced = -1;
    if (in->body.length == 0 &&
        curl_easy_getinfo(in->hop, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T,
                          &announced) == CURLE_OK &&
        announced > 0 && (uint64_t)announced > in->max_body) {
        in->too_long = true;
        return 0;
    }
    size_t taken = write_memory_callback(contents, size, nmemb, &in->body);
    if (in->body.length > in->max_body) {
        in->too_long = true;
        return 0;
    }
    return taken;
}

void skip_json_blanks(const char *p, size_t n, size_t *pos)
{
    while (*pos < n && (p[*pos] == ' ' || p[*pos] == '\t' || p[*pos] == '\n' ||
                        p[*pos] == '\r'))
        (*pos)++;
}

/* Reads the JSON string whose opening quote is at *pos into out (cut to
 * cap - 1 bytes, control characters as blanks, non-ASCII escapes as '?').
 * False when the text ends first. */
bool read_json_string(const char *p, size_t n, size_t *pos, char *out,
                      size_t cap)
{
    size_t len = 0;
    auto put = [&](char c) {
        if (out != NULL && len + 1 < cap)
            out[len++] = ((unsigned char)c < 0x20) ? ' ' : c;
    };
    for ((*pos)++; *pos < n; (*pos)++) {
        char c = p[*pos];
        if (c == '"') {
            (*pos)++;
            if (out != NULL && cap > 0)
                out[len] = '\0';
            return true;
        }
        if (c != '\\') {
            put(c);
            continue;
        }
        if (++*pos >= n)
            return false;
        switch (p[*pos]) {
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't': put(' '); break;
        case 'u': {
            if (n - *pos < 5)
                return false;
            unsigned v = 0;
            for (int k = 1; k <= 4; k++) {
                char h = p[*pos + k];
                unsigned d = h >= '0' && h <= '9' ? h - '0'
                             : (h | 0x20) >= 'a' && (h | 0x20) <= 'f'
                                 ? (h | 0x20) - 'a' + 10
                                 : 16;
                if (d == 16)
                    return false;
                v = v * 16 + d;
            }
            put(v < 0x80 ? (char)v : '?');
            *pos += 4;
            break;
        }
        default: put(p[*pos]); break;
        }
    }
    return false;
}

/* Skips one JSON value that is not a string: up to a comma or closing
 * brace outside any nesting. False when the text ends first. */
bool skip_json_value(const char *p, size_t n, size_t *pos)
{
    int depth = 0;
    while (*pos < n) {
        char c = p[*pos];
        if (c == '"') {
            if (!read_json_string(p, n, pos, NULL, 0))
                return false;
            continue;
        }
        if (depth == 0 && (c == ',' || c == '}'))
            return true;
        if (c == '{' || c == '[')
            depth++;
        else if (c == '}' || c == ']')
            depth--;
        (*pos)++;
    }
    return false;
}

} // namespace

extern "C" int _poll_body_error(const char *p, size_t n, char *out, size_t cap)
{
    size_t pos = 0;
    bool found = false;
    skip_json_blanks(p, n, &pos);
    if (pos >= n || p[pos] != '{')
        return 0;
    pos++;
    while (true) {
        skip_json_blanks(p, n, &pos);
        if (pos >= n || p[pos] != '"')
            return 0;
        char key[8];
        if (!read_json_string(p, n, &pos, key, sizeof key))
            return 0;
        /* The first "error" member counts, as the first answer would. */
        const bool is_error = !found && strcmp(key, "error") == 0;
        skip_json_blanks(p, n, &pos);
        if (pos >= n || p[pos] != ':')
            return 0;
        pos++;
        skip_json_blanks(p, n, &pos);
        if (pos >= n)
            return 0;
        if (p[pos] == '"') {
            if (!read_json_string(p, n, &pos, is_error ? out : NULL, cap))
                return 0;
        } else {
            size_t start = pos;
            if (!skip_json_value(p, n, &pos))
                return 0;
            if (is_error) {
                size_t len = pos - start;
                while (len > 0 && strchr(" \t\r\n", p[start + len - 1]) != NULL)
                    len--;
                snprintf(out, cap, "%.*s", (int)len, p + start);
            }
        }
        found = found || is_error;
        skip_json_blanks(p, n, &pos);
        if (pos < n && p[pos] == ',') {
            pos++;
            continue;
        }
        /* Only a whole object counts: a cut body is no answer. */
        return pos < n && p[pos] == '}' && found ? 1 : 0;
    }
}

namespace {

/* What every true answer for the total T satisfies. NULL, or the reason
 * the decoded result is refused. */
const char *result_refusal(const unzip_output_t &decoded, uint64_t total)
{
    const size_t needed = pemu::words_for_total(total);
    if (decoded.overrun)
        return "Result holds bits beyond the result buffer";
    if (decoded.words_written > needed)
        return "Result holds bits above the total of the values";
    if (decoded.words_written == 0 || (decoded.words[0] & 1u) == 0)
        return "Result lacks bit 0 (the empty subset)";
    if (decoded.words_written < needed ||
        ((decoded.words[needed - 1] >> (total % 64)) & 1u) == 0)
        return "Result lacks the bit of the total of the values";
    if ((decoded.words[needed - 1] >> (total % 64)) > 1u)
        return "Result holds bits above the total of the values";
    return NULL;
}

/* ---- the two phases ------------------------------------------------- */

/* Shared by both phases of one call. */
struct remote_call {
    const char *ca;
    call_cancel cancel;
    char *err_buf;
};

/* Posts the problem until an attempt ends other than transiently; the
 * request id lands in request_id. */
pemu_status_t submit_problem(remote_call &call, const uint64_t *values,
                             size_t count, char *request_id)
{
    submit_response_t resp = {0, request_id, NULL};
    curl_slist_ptr headers(_generate_slist(1));
    if (!headers)
        return pemu::fail("[Local failure] slist failed to generate", call.err_buf);
    c_string_ptr postdata(_generate_curl_data(values, count));
    if (!postdata)
        return pemu::fail("[Local failure] postdata failed to generate",
                          call.err_buf);
    char *url_raw = NULL;
    if (asprintf(&url_raw, "%s/v0/app/sspu", base_url()) < 0)
        return pemu::fail("[Local failure] url failed to generate", call.err_buf);
    c_string_ptr url(url_raw);

    for (int attempt = 0;; attempt++) {
        if (call_cancelled(&call.cancel))
            return pemu::fail(kCancelled, call.err_buf);
        curl_handle_ptr h(curl_easy_init());
        if (!h)
            return pemu::fail("[Local failure] curl failed to generate",
                              call.err_buf);
        curl_easy_setopt(h.get(), CURLOPT_URL, url.get());
        curl_easy_setopt(h.get(), CURLOPT_POST, 1L);
        curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, postdata.get());
        curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, make_request_write_callback);
        curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &resp);
        set_ca(h.get(), call.ca);
        set_common_options(h.get(), &call.cancel, 0);

        struct curl_certinfo *certs = NULL;
        if (curl_easy_getinfo(h.get(), CURLINFO_CERTINFO, &certs) == CURLE_OK &&
            certs != NULL) {
            for (int i = 0; i < certs->num_of_certs; i++) {
                pemu::say("Certificate %d:\n", i);
                for (curl_slist *l = certs->certinfo[i]; l != NULL; l = l->next)
                    pemu::say("  %s\n", l->data);
            }
        }

        CURLcode res = curl_easy_perform(h.get());
        if (res == CURLE_OK)
            break;
        if (call_cancelled(&call.cancel)) {
            free(resp.err_msg);
            return pemu::fail(kCancelled, call.err_buf);
        }
        if (!_curl_transient_err(res) || attempt + 1 >= kSubmitAttempts) {
            if (resp.status != 0) {
                c_string_ptr text(resp.err_msg);
                return pemu::fail(text ? text.get()
                                       : "[Local failure] rejection text lost",
                                  call.err_buf);
            }
            return fail_with_curl_code(res, call.err_buf);
        }
    }
    if (request_id[0] == '\0')
        return pemu::fail("Submit answer held no requestId", call.err_buf);
    return 0;
}

/* One poll attempt: the poll URL and the redirects it leads to, followed
 * here so that the key goes only to the service's own origin. */
CURLcode poll_once(remote_call &call, const char *poll_url, curl_slist *headers,
                   poll_intake *in, bool *no_handle)
{
    const char *base = base_url();
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(kLimits.deadline_s);
    std::string url = poll_url;
    for (long hop = 0;; hop++) {
        curl_handle_ptr h(curl_easy_init());
        if (!h) {
            *no_handle = true;
            return CURLE_FAILED_INIT;
        }
        /* Bytes of an attempt or hop that failed must never reach the
         * decoder. */
        in->body.length = 0;
        in->hop = h.get();
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
        set_ca(h.get(), call.ca);
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

/* Polls until the result is ready, the attempts run out or the call is
 * cancelled; then checks and decodes it into result. */
pemu_status_t poll_result(remote_call &call, const char *request_id,
                          uint64_t total, uint64_t *result, size_t *result_words)
{
    /* Read again for the poll, so checked again. */
    if (!is_https_url(base_url()))
        return pemu::fail(kNotHttps, call.err_buf);
    char *url_raw = NULL;
    if (asprintf(&url_raw, "%s/v0/result?requestId=%s", base_url(), request_id) < 0)
        return pemu::fail("[Local failure] url failed to generate", call.err_buf);
    c_string_ptr poll_url(url_raw);
    if (!api_key_is_clean())
        return pemu::fail("[Local failure] PEMU_API_KEY holds a control character",
                          call.err_buf);
    curl_slist_ptr headers(_generate_slist(2));
    if (!headers)
        return pemu::fail("[Local failure] slist failed to generate", call.err_buf);
    const size_t needed_words = pemu::words_for_total(total);
    poll_intake in = {{static_cast<char *>(malloc(1)), 0},
                      max_gzip_body(needed_words * 8),
                      NULL,
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
        if (in.too_long)
            return pemu::fail("Result body is longer than any result of this "
                              "size can be",
                              call.err_buf);
        if (res == CURLE_OK)
            break;
        if (!poll_not_ready(res)) {
            pemu::say("result fetch Curl failed with %d\n", (int)res);
            break;
        }
        if (j == 0)
            limit = poll_limit_override(kPoll, limit);
        pemu::say("Result not ready (%d)\n", (int)res);
        if (!pause_unless_cancelled(poll_pause_seconds(kPoll, j), &call.cancel))
            return pemu::fail(kCancelled, call.err_buf);
    }
    if (res != CURLE_OK)
        return fail_with_curl_code(res, call.err_buf);

    char text[PEMU_ERR_BUF_SIZE];
    if (_poll_body_error(in.body.bytes, in.body.length, text, sizeof text))
        return pemu::fail(text[0] != '\0' ? text : "The service reported an error",
                          call.err_buf);
    unzip_output_t decoded = {result, result_words, 0, 0, 0};
    int zrc = _unzip_data(&in.body, &decoded);
    if (zrc != Z_OK) {
        char msg[80];
        snprintf(msg, sizeof msg,
                 "Result body could not be decoded (zlib status %d: %s)", zrc,
                 zError(zrc));
        return pemu::fail(msg, call.err_buf);
    }
    const char *refusal = result_refusal(decoded, total);
    if (refusal != NULL)
        return pemu::fail(refusal, call.err_buf);
    return 0;
}

} // namespace

extern "C" pemu_status_t _online_fetch_cancellable(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf, pemu_cancel_t cancel, void *cancel_user)
{
    uint64_t total = 0;
    if (!pemu::sum_values(values, count, &total))
        return pemu::fail("[Local failure] overflow on input", err_buf);
    if (!api_key_is_clean())
        return pemu::fail("[Local failure] PEMU_API_KEY holds a control character",
                          err_buf);
    const ca_choice ca = choose_ca();
    if (ca.location == NULL)
        return pemu::fail(ca.failure, err_buf);
    if (!is_https_url(base_url()))
        return pemu::fail(kNotHttps, err_buf);

    remote_call_admission admission;
    if (!admission.admitted())
        return pemu::fail(kCancelled, err_buf);
    pthread_once(&curl_init_once, curl_init_process);

    remote_call call = {ca.location, {cancel, cancel_user}, err_buf};
    char request_id[kRequestIdMax + 1];
    request_id[0] = '\0';
    if (submit_problem(call, values, count, request_id) != 0)
        return -1;
    return poll_result(call, request_id, total, result, result_words);
}

extern "C" pemu_status_t _online_fetch_complete_subset_sum(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf)
{
    return _online_fetch_cancellable(values, count, result, result_words,
                                     err_buf, NULL, NULL);
}

extern "C" pemu_status_t pemu_shutdown(unsigned timeout_ms)
{
    std::unique_lock<std::mutex> lock(calls_mu);
    closing.store(true);
    pthread_once(&shutdown_fd_once, make_shutdown_fd);
    if (shutdown_fd >= 0) {
        const uint64_t one = 1;
        ssize_t w = write(shutdown_fd, &one, sizeof one);
        (void)w; /* a full counter is readable all the same */
    }
    bool idle = calls_done.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [] { return calls_inside == 0; });
    return idle ? 0 : -1;
}

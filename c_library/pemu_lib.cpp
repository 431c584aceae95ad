/* Front door of the solver library: path selection, the asynchronous
 * worker, and the remote solving client. */
#include "pemu_internal.h"

#include <curl/curl.h>
#include <zlib.h>

#include <errno.h>
#include <inttypes.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

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
    if (keep_local())
        return _fmss_solve(values, count, result, result_words, err_buf);
    return _online_fetch_complete_subset_sum(values, count, result,
                                             result_words, err_buf);
}

extern "C" pemu_status_t fetch_complete_subset_sum_cancellable(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf, pemu_cancel_t cancel, void *cancel_user)
{
    /* TODO(client): ask cancel between attempts, in pauses and transfers. */
    (void)cancel;
    (void)cancel_user;
    return fetch_complete_subset_sum(values, count, result, result_words,
                                     err_buf);
}

extern "C" pemu_status_t pemu_shutdown(unsigned timeout_ms)
{
    /* TODO(client): abort transfers in flight and wait for them. */
    (void)timeout_ms;
    return 0;
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

    /* The sum must not wrap: a wrapped total would size the buffer too small
     * for the true result. */
    uint64_t total = 0;
    bool overflow = false;
    for (size_t i = 0; i < req.count; i++) {
        if (__builtin_add_overflow(total, req.values[i], &total)) {
            overflow = true;
            break;
        }
    }
    if (overflow) {
        _safe_copy_to_err_buff("[Local failure] overflow on input", err_buf);
    } else if ((buffer = static_cast<uint64_t *>(
                    calloc(total / 64 + 1, sizeof(uint64_t)))) == NULL) {
        _safe_copy_to_err_buff("[Local failure] result buffer allocation failed",
                               err_buf);
    } else {
        words = total / 64 + 1;
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

/* Diagnostics go to standard output; flush so that they keep their order
 * with the interpreter's output and survive a crash of the caller. */
#define SAY(...)              \
    do {                      \
        printf(__VA_ARGS__);  \
        fflush(stdout);       \
    } while (0)

constexpr size_t kRequestIdMax = 1999;
constexpr size_t kKeyMax = 50;
constexpr size_t kMessageMax = 511;
constexpr size_t kScratchBytes = 65536;
constexpr int kSubmitAttempts = 5;
constexpr int kDefaultPollLimit = 20;
constexpr int kOverridePollFloor = 30;
/* 2**31 s still fits sleep()'s unsigned argument. */
constexpr unsigned kMaxPauseExponent = 31;
constexpr const char *kDefaultBaseUrl = "https://localhost:8443";

struct curl_easy_deleter {
    void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
struct curl_slist_deleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
struct free_deleter {
    void operator()(void *p) const { free(p); }
};
struct body_bytes_deleter {
    void operator()(body_buffer_t *b) const { free(b->bytes); }
};
using curl_handle_ptr = std::unique_ptr<CURL, curl_easy_deleter>;
using curl_slist_ptr = std::unique_ptr<curl_slist, curl_slist_deleter>;
using c_string_ptr = std::unique_ptr<char, free_deleter>;

pthread_once_t curl_init_once = PTHREAD_ONCE_INIT;
void curl_init_process(void) { curl_global_init(CURL_GLOBAL_ALL); }

pemu_status_t fail_with(const char *msg, char *err_buf)
{
    _safe_copy_to_err_buff(msg, err_buf);
    return -1;
}

/* Both phases end on a failed transfer with this one message. */
pemu_status_t fail_with_curl_code(CURLcode res, char *err_buf)
{
    char msg[64];
    snprintf(msg, sizeof msg, "Submit problem curl failed with %d", (int)res);
    return fail_with(msg, err_buf);
}

const char *base_url(void)
{
    const char *v = getenv("PEMU_BASE_URL");
    return (v != NULL && v[0] != '\0') ? v : kDefaultBaseUrl;
}

bool is_stop_byte(char c) { return c == '"' || c == ',' || c == '}'; }

/* Rejection of a submit answer: the text becomes the call's failure. */
size_t reject_answer(submit_response_t *resp, char *text)
{
    free(resp->err_msg);
    resp->err_msg = text;
    resp->status = -1;
    if (text != NULL)
        SAY("%s\n", text);
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

/* The libcurl trace, as libcurl itself would print it, but with the API
 * key masked: logs that capture standard error must not learn it. */
int trace_without_key(CURL *, curl_infotype type, char *data, size_t size,
                      void *)
{
    static const char *const prefix[] = {"* ", "< ", "> "};
    const char *pre;
    switch (type) {
    case CURLINFO_TEXT: pre = prefix[0]; break;
    case CURLINFO_HEADER_IN: pre = prefix[1]; break;
    case CURLINFO_HEADER_OUT: pre = prefix[2]; break;
    default: return 0;
    }
    fwrite(pre, 1, 2, stderr);
    if (type != CURLINFO_HEADER_OUT) {
        fwrite(data, 1, size, stderr);
        return 0;
    }
    static const char key[] = "x-api-key:";
    const size_t key_len = sizeof key - 1;
    size_t i = 0;
    while (i < size) {
        const char *nl = static_cast<const char *>(memchr(data + i, '\n', size - i));
        size_t end = nl != NULL ? (size_t)(nl - data) + 1 : size;
        if (end - i >= key_len && strncasecmp(data + i, key, key_len) == 0) {
            size_t eol = end;
            while (eol > i && (data[eol - 1] == '\n' || data[eol - 1] == '\r'))
                eol--;
            fwrite(data + i, 1, key_len, stderr);
            fputs(" ***", stderr);
            fwrite(data + eol, 1, end - eol, stderr);
        } else {
            fwrite(data + i, 1, end - i, stderr);
        }
        i = end;
    }
    return 0;
}

/* Options that every transfer gets beside the request's own: none may hang
 * for ever, none may touch signals (several threads), and the trace hides
 * the key. */
void set_common_options(CURL *h, const char *ca)
{
    struct stat st;
    /* A directory given as a CA file fails every handshake. */
    if (stat(ca, &st) == 0 && S_ISDIR(st.st_mode))
        curl_easy_setopt(h, CURLOPT_CAPATH, ca);
    else
        curl_easy_setopt(h, CURLOPT_CAINFO, ca);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, trace_without_key);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L);
}

unsigned poll_pause_seconds(int attempt)
{
    unsigned e = (unsigned)attempt / 2;
    return 1u << (e < kMaxPauseExponent ? e : kMaxPauseExponent);
}

/* The one place that decides "retry" for a finished poll attempt: the
 * body was refused as not ready (23) or the transfer was transient. */
bool poll_not_ready(CURLcode res)
{
    return res == CURLE_WRITE_ERROR || _curl_transient_err(res);
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

extern "C" void _safe_copy_to_err_buff(const char *msg, char *err_buf)
{
    SAY("Failed with error: %s\n", msg);
    if (err_buf != NULL) {
        strncpy(err_buf, msg, PEMU_ERR_BUF_SIZE - 1);
        err_buf[PEMU_ERR_BUF_SIZE - 1] = '\0';
    }
}

extern "C" int _curl_transient_err(int code)
{
    return code == CURLE_OPERATION_TIMEDOUT || code == CURLE_SSL_CONNECT_ERROR;
}

extern "C" struct curl_slist *_generate_slist(int mode)
{
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

extern "C" const char *_curl_ca_location(void)
{
    const char *own = getenv("PEMU_CA_BUNDLE");
    if (own != NULL && own[0] != '\0') {
        SAY("Checking curl cert location %s\n", own);
        if (access(own, F_OK) == 0) {
            SAY("Found curl cert\n");
            return own;
        }
        /* An explicit choice that is missing must not fall back silently. */
        return NULL;
    }
    for (int i = 0; i < pemu_curl_ca_loc_max; i++) {
        SAY("Checking curl cert location %s\n", pemu_curl_ca_locs[i]);
        if (access(pemu_curl_ca_locs[i], F_OK) == 0) {
            SAY("Found curl cert\n");
            return pemu_curl_ca_locs[i];
        }
    }
    return NULL;
}

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
            SAY("Ran out of buffer during transition to val\n");
            return pos;
        }
        if (p[pos] != '"') {
            SAY("Unexpected character after key 0x%x\n", (unsigned char)p[pos]);
            return pos;
        }
        pos++;
        if (p[pos] != ':') {
            SAY("Unexpected character after key+1 0x%x\n", (unsigned char)p[pos]);
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
                SAY("Ran out of buffer during val scraping");
                return pos;
            }
            if (is_message) {
                SAY("Got message %s\n", message);
                if (strcmp(message, "Forbidden") == 0)
                    SAY("Bad API key\n");
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
        SAY("Unexpected ending character %c\n", p[pos]);
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
        SAY("Output is not expected binary, got ");
        fwrite(contents, 1, nul != NULL ? (size_t)(nul - contents) : n, stdout);
        fflush(stdout);
        return 0;
    }
    if (n == 0)
        return 0;
    if (body->length > SIZE_MAX - n) {
        SAY("not enough memory (realloc returned NULL)\n");
        return 0;
    }
    char *grown = static_cast<char *>(realloc(body->bytes, body->length + n));
    if (grown == NULL) {
        SAY("not enough memory (realloc returned NULL)\n");
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
            if (scratch[i] == 0)
                continue;
            const uint64_t b = offset + i;
            const uint64_t w = b / 8;
            if (w >= capacity) {
                /* Keep the words that fit, but still read the stream to its
                 * end: a corrupt body must not pass for an oversized one. */
                for (; cleared < capacity; cleared++) out->words[cleared] = 0;
                SAY("Overrun output size\n");
                overrun = true;
                break;
            }
            for (; cleared <= w; cleared++)
                out->words[cleared] = 0;
            out->words[w] |= (uint64_t)scratch[i] << (8 * (b % 8));
        }
        offset += got;
        if (rc == Z_STREAM_END) {
            rc = Z_OK;
            break;
        }
        /* No progress with all input given: the stream is cut short. */
        if (rc == Z_BUF_ERROR && got == 0 && s.avail_in == 0 && in_left == 0)
            break;
    }
    out->done = 1;
    inflateEnd(&s);
    return rc;
}

extern "C" pemu_status_t _online_fetch_complete_subset_sum(
    uint64_t *values, size_t count, uint64_t *result, size_t *result_words,
    char *err_buf)
{
    char request_id[kRequestIdMax + 1];
    request_id[0] = '\0';
    submit_response_t resp = {0, request_id, NULL};

    curl_slist_ptr submit_headers(_generate_slist(1));
    if (!submit_headers)
        return fail_with("[Local failure] slist failed to generate", err_buf);
    c_string_ptr postdata(_generate_curl_data(values, count));
    if (!postdata)
        return fail_with("[Local failure] postdata failed to generate", err_buf);
    const char *ca = _curl_ca_location();
    if (ca == NULL) {
        const char *own = getenv("PEMU_CA_BUNDLE");
        if (own != NULL && own[0] != '\0')
            return fail_with("[Local failure] PEMU_CA_BUNDLE names nothing that "
                             "exists", err_buf);
        return fail_with("Couldn't find ca cert", err_buf);
    }

    pthread_once(&curl_init_once, curl_init_process);

    char *url_raw = NULL;
    if (asprintf(&url_raw, "%s/v0/app/sspu", base_url()) < 0)
        return fail_with("[Local failure] url failed to generate", err_buf);
    c_string_ptr submit_url(url_raw);

    CURLcode res = CURLE_OK;
    for (int attempt = 0;; attempt++) {
        curl_handle_ptr h(curl_easy_init());
        if (!h)
            return fail_with("[Local failure] curl failed to generate", err_buf);
        curl_easy_setopt(h.get(), CURLOPT_URL, submit_url.get());
        curl_easy_setopt(h.get(), CURLOPT_POST, 1L);
        curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, submit_headers.get());
        curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, postdata.get());
        curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, make_request_write_callback);
        curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &resp);
        set_common_options(h.get(), ca);

        struct curl_certinfo *certs = NULL;
        if (curl_easy_getinfo(h.get(), CURLINFO_CERTINFO, &certs) == CURLE_OK &&
            certs != NULL) {
            for (int i = 0; i < certs->num_of_certs; i++) {
                SAY("Certificate %d:\n", i);
                for (curl_slist *l = certs->certinfo[i]; l != NULL; l = l->next)
                    SAY("  %s\n", l->data);
            }
        }

        res = curl_easy_perform(h.get());
        if (res == CURLE_OK)
            break;
        if (!_curl_transient_err(res) || attempt + 1 >= kSubmitAttempts) {
            if (resp.status != 0) {
                c_string_ptr text(resp.err_msg);
                return fail_with(text ? text.get()
                                      : "[Local failure] rejection text lost",
                                 err_buf);
            }
            return fail_with_curl_code(res, err_buf);
        }
    }
    if (request_id[0] == '\0')
        return fail_with("Submit answer held no requestId", err_buf);

    submit_headers.reset();
    postdata.reset();

    unzip_output_t decode = {result, result_words, 0};
    if (asprintf(&url_raw, "%s/v0/result?requestId=%s", base_url(), request_id) < 0)
        return fail_with("[Local failure] url failed to generate", err_buf);
    c_string_ptr poll_url(url_raw);
    curl_slist_ptr poll_headers(_generate_slist(2));
    if (!poll_headers)
        return fail_with("[Local failure] slist failed to generate", err_buf);
    body_buffer_t body = {static_cast<char *>(malloc(1)), 0};
    /* The write function may move body.bytes; release whatever it ends as. */
    std::unique_ptr<body_buffer_t, body_bytes_deleter> body_owner(&body);
    if (body.bytes == NULL)
        return fail_with("[Local failure] body buffer failed to allocate", err_buf);

    int limit = kDefaultPollLimit;
    for (int j = 0; j < limit; j++) {
        curl_handle_ptr h(curl_easy_init());
        if (!h)
            return fail_with("[Local failure] curl failed to generate", err_buf);
        /* Bytes of an attempt that failed must never reach the decoder. */
        body.length = 0;
        curl_easy_setopt(h.get(), CURLOPT_URL, poll_url.get());
        curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, poll_headers.get());
        curl_easy_setopt(h.get(), CURLOPT_FOLLOWLOCATION, 1L);
        /* Redirects carry the key header along: never over plain HTTP. */
        curl_easy_setopt(h.get(), CURLOPT_REDIR_PROTOCOLS_STR, "https");
        curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, write_memory_callback);
        set_common_options(h.get(), ca);
        res = curl_easy_perform(h.get());
        h.reset();

        if (res == CURLE_OK)
            break;
        if (!poll_not_ready(res)) {
            SAY("result fetch Curl failed with %d\n", (int)res);
            break;
        }
        if (j == 0) {
            const char *override_limit = getenv("PEMU_MAXRETRIES");
            if (override_limit != NULL) {
                int n = atoi(override_limit);
                limit = n > kOverridePollFloor ? n : kOverridePollFloor;
                SAY("Overrode max retries to %d", limit);
            }
        }
        SAY("Result not ready (%d)\n", (int)res);
        sleep(poll_pause_seconds(j));
    }

    if (res != CURLE_OK)
        return fail_with_curl_code(res, err_buf);
    int zrc = _unzip_data(&body, &decode);
    if (zrc != Z_OK) {
        char msg[80];
        snprintf(msg, sizeof msg,
                 "Result body could not be decoded (zlib status %d: %s)", zrc,
                 zError(zrc));
        return fail_with(msg, err_buf);
    }
    return 0;
}

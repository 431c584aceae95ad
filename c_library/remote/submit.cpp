/* Submitting a problem and reading the answer that names its request. */
#include "remote/submit.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace pemu::remote {

namespace {

constexpr size_t kKeyMax = 50;
constexpr size_t kMessageMax = 511;
constexpr int kSubmitAttempts = 5;

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

/* Prints the certificate chain libcurl knows of before the transfer. */
void print_certificates(CURL *h)
{
    struct curl_certinfo *certs = NULL;
    if (curl_easy_getinfo(h, CURLINFO_CERTINFO, &certs) != CURLE_OK || certs == NULL)
        return;
    for (int i = 0; i < certs->num_of_certs; i++) {
        pemu::say("Certificate %d:\n", i);
        for (curl_slist *l = certs->certinfo[i]; l != NULL; l = l->next)
            pemu::say("  %s\n", l->data);
    }
}

} // namespace

char *request_body(const uint64_t *values, size_t count)
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

size_t scan_submit_answer(const char *p, size_t n, submit_response_t *resp)
{
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

pemu_status_t submit_problem(remote_call &call, curl_slist *headers,
                             const exchange &x, char *request_id)
{
    submit_response_t resp = {0, request_id, NULL};
    c_string_ptr postdata(x.body());
    if (!postdata)
        return pemu::fail("[Local failure] postdata failed to generate",
                          call.err_buf);
    char *url_raw = NULL;
    if (asprintf(&url_raw, "%s%s", call.config.base_url.get(), x.submit_path) < 0)
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
        curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, postdata.get());
        curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, make_request_write_callback);
        curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &resp);
        set_ca(h.get(), call.config.ca.get());
        set_common_options(h.get(), &call.cancel, 0);
        print_certificates(h.get());

        CURLcode res = curl_easy_perform(h.get());
        if (res == CURLE_OK)
            break;
        c_string_ptr text(resp.err_msg);
        resp.err_msg = NULL;
        if (call_cancelled(&call.cancel))
            return pemu::fail(kCancelled, call.err_buf);
        if (!_curl_transient_err(res) || attempt + 1 >= kSubmitAttempts) {
            if (resp.status != 0)
                return pemu::fail(text ? text.get()
                                       : "[Local failure] rejection text lost",
                                  call.err_buf);
            return fail_with_curl_code(res, call.err_buf);
        }
    }
    if (request_id[0] == '\0')
        return pemu::fail("Submit answer held no requestId", call.err_buf);
    return 0;
}

} // namespace pemu::remote

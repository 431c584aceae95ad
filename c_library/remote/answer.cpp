/* Poll bodies: intake, and the decision of what an answer means. */
#include "remote/answer.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zlib.h>

#include "remote/transfer.h"

namespace pemu::remote {

namespace {

/* Gzip's own header and trailer (18 bytes) and room for the optional name,
 * comment and extra fields of the header. */
constexpr size_t kGzipSlack = 4096;

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

chunk_verdict take_chunk(body_buffer_t *body, const char *contents, size_t n)
{
    static const char message[] = "{\"message\":";
    static const char xml[] = "<?xml version=\"1.0\" encoding=";
    if (n >= 10 && memcmp(contents, message, 10) == 0)
        return chunk_verdict::not_ready;
    if (n >= 15 && memcmp(contents, xml, 15) == 0) {
        /* The chunk is not NUL-terminated: print at most its own bytes. */
        const char *nul = static_cast<const char *>(memchr(contents, '\0', n));
        pemu::say("Output is not expected binary, got ");
        fwrite(contents, 1, nul != NULL ? (size_t)(nul - contents) : n, stdout);
        fflush(stdout);
        return chunk_verdict::not_ready;
    }
    if (n == 0)
        return chunk_verdict::not_ready;
    char *grown = body->length > SIZE_MAX - n
                      ? NULL
                      : static_cast<char *>(realloc(body->bytes, body->length + n));
    if (grown == NULL) {
        pemu::say("not enough memory (realloc returned NULL)\n");
        return chunk_verdict::no_memory;
    }
    body->bytes = grown;
    memcpy(body->bytes + body->length, contents, n);
    body->length += n;
    return chunk_verdict::stored;
}

size_t max_gzip_body(size_t result_bytes)
{
    uLong bound = compressBound((uLong)result_bytes);
    return bound > SIZE_MAX - kGzipSlack ? SIZE_MAX : (size_t)bound + kGzipSlack;
}

void start_hop(poll_intake *in, CURL *hop)
{
    in->body.length = 0;
    in->hop = hop;
    in->refused = chunk_verdict::stored;
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
    if (nmemb != 0 && size > SIZE_MAX / nmemb)
        return 0;
    const size_t n = size * nmemb;
    in->refused = take_chunk(&in->body, contents, n);
    if (in->refused != chunk_verdict::stored)
        return 0;
    if (in->body.length > in->max_body) {
        in->too_long = true;
        return 0;
    }
    return n;
}

answer read_answer(CURLcode res, const poll_intake &in, char *text, size_t cap)
{
    if (in.too_long)
        return answer::too_long;
    /* Asking again would need the same memory again. */
    if (in.refused == chunk_verdict::no_memory) {
        snprintf(text, cap, "[Local failure] out of memory for the result body");
        return answer::failed;
    }
    if (res == CURLE_OK) {
        if (!poll_body_error(in.body.bytes, in.body.length, text, cap))
            return answer::ready;
        if (text[0] == '\0')
            snprintf(text, cap, "The service reported an error");
        return answer::failed;
    }
    /* A refused chunk ends the transfer with a write error. */
    if (res == CURLE_WRITE_ERROR || _curl_transient_err(res))
        return answer::not_ready;
    pemu::say("result fetch Curl failed with %d\n", (int)res);
    curl_failure_text(res, text, cap);
    return answer::failed;
}

int poll_body_error(const char *p, size_t n, char *out, size_t cap)
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

} // namespace pemu::remote

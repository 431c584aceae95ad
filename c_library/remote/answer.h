/* The poll answer: its body taken in as it arrives, and the one reader
 * that decides what an attempt's answer means. */
#ifndef PEMU_REMOTE_ANSWER_H
#define PEMU_REMOTE_ANSWER_H

#include <curl/curl.h>

#include "pemu_internal.h"

namespace pemu::remote {

/* What became of one chunk of a poll body. */
enum class chunk_verdict {
    stored,
    not_ready, /* a JSON message, an XML document, or nothing */
    no_memory, /* the body could not grow */
};

/* The write function's work: refuses a chunk that announces no result,
 * else appends it to body. */
chunk_verdict take_chunk(body_buffer_t *body, const char *contents, size_t n);

/* A poll attempt's body, bounded by what a gzip stream of the result can
 * take at worst; the write data of every hop. */
struct poll_intake {
    body_buffer_t body;
    size_t max_body;
    CURL *hop;             /* the transfer now writing */
    chunk_verdict refused; /* why the last chunk was refused, if it was */
    bool too_long;
};

/* Largest gzip body a result of result_bytes bytes can come as. */
size_t max_gzip_body(size_t result_bytes);

/* Starts a hop of an attempt: the bytes and refusal of a hop that failed
 * must never reach the decoder. */
void start_hop(poll_intake *in, CURL *hop);

/* CURLOPT_WRITEFUNCTION of a poll hop; userp is the poll_intake. */
size_t poll_write(char *contents, size_t size, size_t nmemb, void *userp);

enum class answer {
    ready,     /* the body is the result */
    not_ready, /* ask again after a pause */
    failed,    /* the call fails with the text */
    too_long,  /* the body is longer than any result of this size */
};

/* What the attempt that ended with res, its body taken in by in, answers.
 * For failed, the call's message goes to text (cap bytes, NUL-ended). */
answer read_answer(CURLcode res, const poll_intake &in, char *text, size_t cap);

/* 1 when p[0..n) is a JSON object with an "error" member, the first of
 * them counting: its text (or, for a value that is not a string, its JSON
 * text) goes to out. Else 0. */
int poll_body_error(const char *p, size_t n, char *out, size_t cap);

} // namespace pemu::remote

#endif

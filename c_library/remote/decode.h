/* Decoding a ready poll body into the result words, and the checks every
 * true result passes. */
#ifndef PEMU_REMOTE_DECODE_H
#define PEMU_REMOTE_DECODE_H

#include "pemu_internal.h"

namespace pemu::remote {

/* One gzip stream inflated in a single step; *dest_len changes only on
 * success. */
int gunzip_once(unsigned char *dest, uint64_t *dest_len,
                const unsigned char *source, uint64_t source_len);

/* Inflates body into out's words (see _unzip_data). */
int unzip_words(const body_buffer_t *body, unzip_output_t *out);

/* NULL, or why the decoded words cannot be the result for the total. */
const char *result_refusal(const unzip_output_t &decoded, uint64_t total);

/* Decodes a ready body into result and checks it: the call's status, with
 * the message in err_buf on failure. */
pemu_status_t decode_result(const body_buffer_t &body, uint64_t total,
                            uint64_t *result, size_t *result_words,
                            char *err_buf);

} // namespace pemu::remote

#endif

/* Gzip decoding of result bodies and the result checks. */
#include "remote/decode.h"

#include <endian.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <zlib.h>

namespace pemu::remote {

namespace {

constexpr size_t kScratchBytes = 65536;

} // namespace

int gunzip_once(unsigned char *dest, uint64_t *dest_len,
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

int unzip_words(const body_buffer_t *body, unzip_output_t *out)
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

pemu_status_t decode_result(const body_buffer_t &body, uint64_t total,
                            uint64_t *result, size_t *result_words,
                            char *err_buf)
{
    unzip_output_t decoded = {result, result_words, 0, 0, 0};
    int zrc = unzip_words(&body, &decoded);
    if (zrc != Z_OK) {
        char msg[80];
        snprintf(msg, sizeof msg,
                 "Result body could not be decoded (zlib status %d: %s)", zrc,
                 zError(zrc));
        return pemu::fail(msg, err_buf);
    }
    const char *refusal = result_refusal(decoded, total);
    if (refusal != NULL)
        return pemu::fail(refusal, err_buf);
    return 0;
}

} // namespace pemu::remote

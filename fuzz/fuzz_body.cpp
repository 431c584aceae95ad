// Pushes arbitrary bytes through the poll body path: the write function in
// chunks, then the decoder into a small word buffer, checked against gunzip.
//
// Input: byte 0 picks the capacity (1..16 words), byte 1 the chunk length
// (1..256); the rest is the body as the service would send it.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <zlib.h>

#include "pemu_internal.h"
#include "support.h"

namespace {

constexpr uint64_t kCanary = 0xC0FFEE00DEADBEEFull;
constexpr uint64_t kFill = 0x5A5A5A5A5A5A5A5Aull;
constexpr size_t kSlack = 64; // gunzip room beyond the capacity, in bytes

void check(bool ok)
{
    if (!ok)
        abort();
}

// Mirrors libcurl: stops at the first chunk that is refused.
void take_in(body_buffer_t *body, const uint8_t *data, size_t size, size_t step)
{
    for (size_t at = 0; at < size; at += step) {
        const size_t n = size - at < step ? size - at : step;
        const size_t before = body->length;
        const size_t ret =
            write_memory_callback(pemu_test::heap_chunk(data + at, n).get(), 1, n, body);
        check(ret == 0 || ret == n);
        check(body->length == before + ret);
        check(ret == 0 || memcmp(body->bytes + before, data + at, n) == 0);
        if (ret == 0)
            break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const size_t cap = data[0] % 16 + 1;
    const size_t step = (size_t)data[1] + 1;
    data += 2;
    size -= 2;

    body_buffer_t body = {static_cast<char *>(malloc(1)), 0};
    take_in(&body, data, size, step);

    // Reference decoding: one gunzip into an exactly-sized heap block.
    const uint64_t room = cap * 8 + kSlack;
    unsigned char *ref = static_cast<unsigned char *>(malloc(room));
    uint64_t ref_len = room;
    const int ref_rc = gunzip(ref, &ref_len, (const unsigned char *)body.bytes, body.length);
    check(ref_rc == Z_OK ? ref_len <= room : ref_len == room);

    uint64_t *buf = static_cast<uint64_t *>(malloc((cap + 2) * sizeof(uint64_t)));
    buf[0] = buf[cap + 1] = kCanary;
    for (size_t w = 1; w <= cap; w++)
        buf[w] = kFill;
    size_t count = cap;
    unzip_output_t out = {buf + 1, &count, 0, 0, 0};
    const int rc = _unzip_data(&body, &out);
    check(buf[0] == kCanary && buf[cap + 1] == kCanary);
    check(count == cap);

    if (ref_rc == Z_OK) {
        // The whole stream fitted the reference: the decoder must agree.
        check(rc == Z_OK && out.done == 1);
        size_t len = ref_len;
        while (len > 0 && ref[len - 1] == 0)
            len--;
        const size_t filled = len > cap * 8 ? cap : (len + 7) / 8;
        check(out.overrun == (len > cap * 8 ? 1 : 0));
        check(out.words_written == filled);
        for (size_t w = 0; w < cap; w++) {
            uint64_t want = kFill;
            if (w < filled) {
                want = 0;
                for (size_t b = 0; b < 8 && w * 8 + b < len; b++)
                    want |= (uint64_t)ref[w * 8 + b] << (8 * b);
            }
            check(out.words[w] == want);
        }
    } else if (ref_rc == Z_DATA_ERROR) {
        check(rc != Z_OK);
    }

    free(buf);
    free(ref);
    free(body.bytes);
    return 0;
}

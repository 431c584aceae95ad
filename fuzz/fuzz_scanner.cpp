// Feeds arbitrary bytes to the submit-answer scanner, whole and cut in two.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pemu_internal.h"
#include "support.h"

namespace {

constexpr size_t kIdBuf = 2000;

// Exactly-sized heap copy: the scanner must not read past the chunk.
void feed(submit_response_t *r, const uint8_t *data, size_t n)
{
    const size_t ret =
        make_request_write_callback(pemu_test::heap_chunk(data, n).get(), 1, n, r);
    if (ret > n)
        abort();
    if (r->status == -1 && (ret != 0 || r->err_msg == NULL))
        abort();
    if (r->status != 0 && r->status != -1)
        abort();
    if (memchr(r->request_id, '\0', kIdBuf) == NULL)
        abort();
}

void run(const uint8_t *data, size_t size, size_t cut)
{
    char *id = static_cast<char *>(malloc(kIdBuf));
    memset(id, 'Z', kIdBuf);
    id[0] = '\0';
    submit_response_t r = {0, id, NULL};
    feed(&r, data, cut);
    if (cut < size)
        feed(&r, data + cut, size - cut);
    free(r.err_msg);
    free(id);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    run(data, size, size);
    if (size > 0)
        run(data, size, data[0] % size + 1);
    return 0;
}

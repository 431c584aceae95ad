/* Masking of the API key in libcurl's trace on standard error. */
#include "remote/trace.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace pemu::remote {

namespace {

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

} // namespace

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

} // namespace pemu::remote

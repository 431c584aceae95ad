/* The subset route: body, answer, call. */
#include "remote/subset_exchange.h"

#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#include "remote/exchange.h"

namespace pemu::remote {

namespace {

using wide = __int128;

/* Room for the keys and blanks around a well-formed answer, and for the
 * service's own texts (not ready, an error) whatever the count. */
constexpr size_t kAnswerSlack = 4096;

void put_decimal(std::string &out, unsigned __int128 m, bool minus)
{
    char digits[40];
    size_t k = 0;
    do {
        digits[k++] = char('0' + unsigned(m % 10));
        m /= 10;
    } while (m != 0);
    if (minus)
        out += '-';
    while (k > 0)
        out += digits[--k];
}

struct cursor {
    const char *p;
    size_t n;
    size_t pos = 0;

    void blanks()
    {
        while (pos < n && strchr(" \t\r\n", p[pos]) != NULL && p[pos] != '\0')
            pos++;
    }
    bool take(char c)
    {
        blanks();
        if (pos < n && p[pos] == c) {
            pos++;
            return true;
        }
        return false;
    }
    bool word(const char *w)
    {
        blanks();
        const size_t len = strlen(w);
        if (n - pos < len || memcmp(p + pos, w, len) != 0)
            return false;
        pos += len;
        return true;
    }
    /* A plain key (no escapes: the route's keys have none). */
    bool key(std::string &out)
    {
        if (!take('"'))
            return false;
        out.clear();
        while (pos < n && p[pos] != '"' && p[pos] != '\\' && out.size() < 32)
            out += p[pos++];
        return pos < n && p[pos++] == '"';
    }
    /* A decimal index of at most 19 digits. */
    bool index(size_t *out)
    {
        blanks();
        uint64_t v = 0;
        size_t digits = 0;
        while (pos < n && p[pos] >= '0' && p[pos] <= '9' && digits < 20) {
            v = v * 10 + uint64_t(p[pos++] - '0');
            digits++;
        }
        if (digits == 0 || digits > 19 || v > SIZE_MAX)
            return false;
        *out = size_t(v);
        return true;
    }
};

} // namespace

char *subset_request_body(const uint64_t *values, const uint8_t *negative,
                          size_t count, wide total)
{
    try {
        std::string s = "{\"values\":[";
        s.reserve(count * 22 + 64);
        for (size_t i = 0; i < count; i++) {
            if (i != 0)
                s += ',';
            put_decimal(s, values[i], negative != NULL && negative[i] != 0 && values[i] != 0);
        }
        s += "],\"total\":";
        /* The magnitude of the most negative total still fits unsigned. */
        const unsigned __int128 m = total < 0 ? -(unsigned __int128)total
                                              : (unsigned __int128)total;
        put_decimal(s, m, total < 0);
        s += '}';
        char *text = static_cast<char *>(malloc(s.size() + 1));
        if (text != NULL)
            memcpy(text, s.c_str(), s.size() + 1);
        return text;
    } catch (const std::bad_alloc &) {
        return NULL;
    }
}

size_t max_subset_body(size_t count)
{
    /* Up to 20 digits and a comma an index. */
    return count > (SIZE_MAX - kAnswerSlack) / 21 ? SIZE_MAX
                                                  : count * 21 + kAnswerSlack;
}

const char *read_subset_answer(const char *p, size_t n, const uint64_t *values,
                               const uint8_t *negative, size_t count,
                               wide total, std::vector<size_t> &indices,
                               bool *found)
{
    static const char kNoAnswer[] = "Result body is not a subset answer";
    cursor c = {p, n};
    indices.clear();
    bool saw_indices = false, saw_found = false, found_value = true;
    if (!c.take('{'))
        return kNoAnswer;
    std::string key;
    do {
        if (!c.key(key) || !c.take(':'))
            return kNoAnswer;
        if (key == "indices" && !saw_indices) {
            saw_indices = true;
            if (!c.take('['))
                return kNoAnswer;
            if (!c.take(']')) {
                do {
                    size_t i = 0;
                    if (!c.index(&i))
                        return kNoAnswer;
                    if (i >= count)
                        return "Result index out of range";
                    if (!indices.empty() && i <= indices.back())
                        return "Result indices are not ascending and distinct";
                    indices.push_back(i);
                } while (c.take(','));
                if (!c.take(']'))
                    return kNoAnswer;
            }
        } else if (key == "found" && !saw_found) {
            saw_found = true;
            if (c.word("false"))
                found_value = false;
            else if (!c.word("true"))
                return kNoAnswer;
        } else {
            return kNoAnswer;
        }
    } while (c.take(','));
    if (!c.take('}'))
        return kNoAnswer;
    c.blanks();
    if (c.pos != n)
        return kNoAnswer;
    if (!found_value) {
        /* No subset: nothing here can be checked short of solving again. */
        if (saw_indices)
            return "Result says both found and not found";
        *found = false;
        return NULL;
    }
    if (!saw_indices)
        return kNoAnswer;
    wide sum = 0;
    for (size_t i : indices)
        sum += negative != NULL && negative[i] != 0 ? -wide(values[i])
                                                    : wide(values[i]);
    if (sum != total)
        return "Result indices do not sum to the total";
    *found = true;
    return NULL;
}

pemu_status_t fetch_subset(const uint64_t *values, const uint8_t *negative,
                           size_t count, wide total,
                           std::vector<size_t> &indices, bool *found,
                           char *err_buf, const pemu_watch_t *watch)
{
    *found = false;
    const exchange x = {
        "/v0/app/subset", "/v0/subset?requestId=",
        [&] { return subset_request_body(values, negative, count, total); },
        max_subset_body(count), [&](const body_buffer_t &body, char *buf) {
            const char *why;
            try {
                why = read_subset_answer(body.bytes, body.length, values,
                                         negative, count, total, indices,
                                         found);
            } catch (const std::bad_alloc &) {
                why = "[Local failure] out of memory for the result";
            }
            return why == NULL ? 0 : pemu::fail(why, buf); }};
    return run_exchange(x, err_buf, watch);
}

} // namespace pemu::remote

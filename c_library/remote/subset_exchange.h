/* Which values make a total, on the service: the subset route's body, the
 * reader of its answer, and the call over the shared client. */
#ifndef PEMU_REMOTE_SUBSET_EXCHANGE_H
#define PEMU_REMOTE_SUBSET_EXCHANGE_H

#include <vector>

#include "pemu_internal.h"

namespace pemu::remote {

/* {"values":[v,...],"total":T} in decimal, a value negative where its flag
 * is set (negative may be NULL): new malloc'ed text, or NULL. */
char *subset_request_body(const uint64_t *values, const uint8_t *negative,
                          size_t count, __int128 total);

/* The longest ready answer for count values. */
size_t max_subset_body(size_t count);

/* Reads a ready body: {"indices":[i,...]} (*found = true) or
 * {"found":false}. The indices must be ascending, in range, and their
 * values must sum to total; NULL, or the "Result ..." message why the body
 * is no such answer. */
const char *read_subset_answer(const char *p, size_t n, const uint64_t *values,
                               const uint8_t *negative, size_t count,
                               __int128 total, std::vector<size_t> &indices,
                               bool *found);

/* One subset summing to total, solved on the service; as the bitset call,
 * the call ends, failed, once the watch's cancel answers non-zero. */
pemu_status_t fetch_subset(const uint64_t *values, const uint8_t *negative,
                           size_t count, __int128 total,
                           std::vector<size_t> &indices, bool *found,
                           char *err_buf, const pemu_watch_t *watch);

} // namespace pemu::remote

#endif

// Pushes arbitrary bytes through the reader of the subset route's answer:
// whatever it accepts as a subset must be one (ascending, in range, summing
// to the total), however the body was made.
//
// Input: byte 0 picks the total (bits 0-6: the sum of those of the first
// seven values; bit 7: one more), the rest is the body.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "remote/subset_exchange.h"

namespace {

void check(bool ok)
{
    if (!ok)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // Values 3, -5, 7, 0, 5, 2**64 - 1, 2**64 - 1 (negative), 1.
    static const uint64_t mag[] = {3, 5, 7, 0, 5, UINT64_MAX, UINT64_MAX, 1};
    static const uint8_t neg[] = {0, 1, 0, 0, 0, 0, 1, 0};
    constexpr size_t count = sizeof mag / sizeof mag[0];
    __int128 total = 0;
    for (size_t i = 0; i < 7; i++)
        if (data[0] >> i & 1)
            total += neg[i] ? -(__int128)mag[i] : (__int128)mag[i];
    if (data[0] & 0x80)
        total += 1;
    std::vector<size_t> indices;
    bool found = false;
    const char *why =
        pemu::remote::read_subset_answer(reinterpret_cast<const char *>(data + 1), size - 1,
                                         mag, neg, count, total, indices, &found);
    if (why != nullptr || !found)
        return 0;
    __int128 sum = 0;
    for (size_t k = 0; k < indices.size(); k++) {
        check(indices[k] < count);
        check(k == 0 || indices[k - 1] < indices[k]);
        sum += neg[indices[k]] ? -(__int128)mag[indices[k]] : (__int128)mag[indices[k]];
    }
    check(sum == total);
    return 0;
}

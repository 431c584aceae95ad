// The subset route's request body and the reader of its answer: every
// answer the client returns is one it has checked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "remote/subset_exchange.h"

namespace {

using pemu::remote::max_subset_body;
using pemu::remote::read_subset_answer;
using pemu::remote::subset_request_body;

std::string body_of(const std::vector<uint64_t> &mag,
                    const std::vector<uint8_t> &neg, __int128 total)
{
    char *text = subset_request_body(mag.data(), neg.empty() ? nullptr : neg.data(),
                                     mag.size(), total);
    EXPECT_NE(text, nullptr);
    std::string s = text != nullptr ? text : "";
    free(text);
    return s;
}

TEST(SubsetBody, Table)
{
    const __int128 big = (__int128)1 << 100;
    struct row {
        std::vector<uint64_t> mag;
        std::vector<uint8_t> neg;
        __int128 total;
        const char *want;
    } rows[] = {
        {{}, {}, 0, "{\"values\":[],\"total\":0}"},
        {{3, 5, 10}, {}, 8, "{\"values\":[3,5,10],\"total\":8}"},
        {{3, 5, 0}, {0, 1, 1}, -2, "{\"values\":[3,-5,0],\"total\":-2}"},
        {{UINT64_MAX}, {1}, -(__int128)UINT64_MAX, "{\"values\":[-18446744073709551615],\"total\":-18446744073709551615}"},
        {{1}, {}, big, "{\"values\":[1],\"total\":1267650600228229401496703205376}"},
        {{1}, {}, -big - 1, "{\"values\":[1],\"total\":-1267650600228229401496703205377}"},
    };
    for (const row &r : rows)
        EXPECT_EQ(body_of(r.mag, r.neg, r.total), r.want);
    // The most negative total has no positive twin.
    const __int128 lowest = -(__int128)(((unsigned __int128)1 << 127) - 1) - 1;
    EXPECT_EQ(body_of({}, {}, lowest),
              "{\"values\":[],\"total\":-170141183460469231731687303715884105728}");
}

struct answer_row {
    const char *body;
    __int128 total;
    const char *refusal; /* nullptr: accepted */
    bool found;
    std::vector<size_t> indices;
};

TEST(SubsetAnswer, Table)
{
    // values 3, -5, 7, 0, 5
    const std::vector<uint64_t> mag = {3, 5, 7, 0, 5};
    const std::vector<uint8_t> neg = {0, 1, 0, 0, 0};
    const char *no = "Result body is not a subset answer";
    const answer_row rows[] = {
        {"{\"indices\":[1,2]}", 2, nullptr, true, {1, 2}},
        {" { \"indices\" : [ 0 , 4 ] }\n", 8, nullptr, true, {0, 4}},
        {"{\"indices\":[]}", 0, nullptr, true, {}},
        {"{\"found\":true,\"indices\":[2]}", 7, nullptr, true, {2}},
        {"{\"found\":false}", 99, nullptr, false, {}},
        // cut anywhere
        {"{\"indices\":[1,2]", 2, no, false, {}},
        {"{\"indices\":[1,", 2, no, false, {}},
        {"{\"indices\":[1", 2, no, false, {}},
        {"{\"found\":fal", 2, no, false, {}},
        {"", 2, no, false, {}},
        {"{", 2, no, false, {}},
        // wrong sums, ranges, order
        {"{\"indices\":[0,2]}", 2, "Result indices do not sum to the total", false, {}},
        {"{\"indices\":[]}", 3, "Result indices do not sum to the total", false, {}},
        {"{\"indices\":[5]}", 0, "Result index out of range", false, {}},
        {"{\"indices\":[18446744073709551615]}", 0, no, false, {}},
        {"{\"indices\":[2,1]}", 2, "Result indices are not ascending and distinct", false, {}},
        {"{\"indices\":[2,2]}", 14, "Result indices are not ascending and distinct", false, {}},
        // not this answer's shape
        {"{\"indices\":[-1]}", -5, no, false, {}},
        {"{\"indices\":[1.0]}", -5, no, false, {}},
        {"{\"indices\":\"1\"}", -5, no, false, {}},
        {"{\"found\":false,\"indices\":[]}", 0, "Result says both found and not found", false, {}},
        {"{\"found\":true}", 0, no, false, {}},
        {"{\"found\":0}", 0, no, false, {}},
        {"{\"other\":1}", 0, no, false, {}},
        {"{\"indices\":[1,2]}x", 2, no, false, {}},
        {"{\"indices\":[1,2]}{\"indices\":[2]}", 2, no, false, {}},
        {"[1,2]", 2, no, false, {}},
    };
    for (const answer_row &r : rows) {
        SCOPED_TRACE(r.body);
        std::vector<size_t> got = {42};
        bool found = true;
        const std::string b = r.body;
        const char *why = read_subset_answer(b.data(), b.size(), mag.data(), neg.data(),
                                             mag.size(), r.total, got, &found);
        if (r.refusal == nullptr) {
            ASSERT_EQ(why, nullptr);
            EXPECT_EQ(found, r.found);
            if (r.found) {
                EXPECT_EQ(got, r.indices);
            }
        } else {
            ASSERT_NE(why, nullptr);
            EXPECT_STREQ(why, r.refusal);
        }
    }
}

TEST(SubsetAnswer, SumsPastSixtyFourBits)
{
    // Two values of 2**64 - 1 sum past any 64-bit total; a wrapped sum
    // must not pass for the total 2**64 - 2.
    const std::vector<uint64_t> mag = {UINT64_MAX, UINT64_MAX};
    std::vector<size_t> got;
    bool found = false;
    const std::string b = "{\"indices\":[0,1]}";
    EXPECT_STREQ(read_subset_answer(b.data(), b.size(), mag.data(), nullptr, 2,
                                    (__int128)UINT64_MAX - 1, got, &found),
                 "Result indices do not sum to the total");
    EXPECT_EQ(read_subset_answer(b.data(), b.size(), mag.data(), nullptr, 2,
                                 (__int128)UINT64_MAX * 2, got, &found),
              nullptr);
    EXPECT_TRUE(found);
}

TEST(SubsetAnswer, BoundHoldsTheLongestAnswer)
{
    // Every index of a million values, each with its comma, fits the bound.
    const size_t count = 1000000;
    std::string b = "{\"indices\":[";
    for (size_t i = 0; i < count; i++) {
        if (i != 0)
            b += ',';
        b += std::to_string(i);
    }
    b += "]}";
    EXPECT_LE(b.size(), max_subset_body(count));
    EXPECT_EQ(max_subset_body(SIZE_MAX), SIZE_MAX);
}

} // namespace

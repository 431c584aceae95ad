// Unit tests of make_request_write_callback, the submit-answer scanner.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "pemu_internal.h"
#include "support.h"

namespace {

constexpr size_t kIdBuf = 2000;
const std::string kUntouched = "untouched";

struct Outcome {
    size_t ret;
    int32_t status;
    std::string id;
    bool has_err;
    std::string err;
    std::string out;
};

// Runs one chunk from an exactly-sized heap block, so ASan reports any read
// past its end.
size_t feed(submit_response_t *r, const std::string &chunk)
{
    const pemu_test::HeapChunk block = pemu_test::heap_chunk(chunk.data(), chunk.size());
    return make_request_write_callback(block.get(), 1, chunk.size(), r);
}

Outcome scan(const std::vector<std::string> &chunks)
{
    std::vector<char> id(kIdBuf, 'Z'); // exactly sized: ASan sees overruns
    memcpy(id.data(), kUntouched.c_str(), kUntouched.size() + 1);
    submit_response_t r = {7, id.data(), NULL}; // status must be reset
    testing::internal::CaptureStdout();
    size_t ret = 0;
    for (const std::string &c : chunks)
        ret = feed(&r, c);
    Outcome o{ret, r.status, "", r.err_msg != NULL, r.err_msg ? r.err_msg : "",
              testing::internal::GetCapturedStdout()};
    const char *nul = static_cast<const char *>(memchr(id.data(), 0, kIdBuf));
    EXPECT_NE(nul, nullptr) << "id not terminated";
    if (nul != NULL)
        o.id.assign(id.data(), (size_t)(nul - id.data()));
    free(r.err_msg);
    return o;
}

// One answer as the only chunk, and what the scanner makes of it.
struct Case {
    const char *name;
    std::string input;
    std::optional<size_t> taken = {}; // the return value; unset: the whole chunk
    int32_t status = 0;
    std::string id = kUntouched;
    std::string err = {};
    std::string out = {};
};

std::string rep(size_t n, char c) { return std::string(n, c); }

const std::string kRanOut = "Ran out of buffer during val scraping";
const std::string kNoRoom = "Ran out of buffer during transition to val\n";

// One row a case, broken by hand.
// clang-format off
const Case kCases[] = {
    {.name = "Plain", .input = R"({"requestId":"abc"})", .id = "abc"},
    {.name = "BlanksAndOtherMember", .input = R"({"requestId": "abc", "state": "queued"})", .id = "abc"},
    {.name = "BareNumber", .input = R"({"requestId":12345})", .id = "12345"},
    {.name = "BareValueKeepsBlank", .input = R"({"requestId":12345 })", .id = "12345 "},
    {.name = "Forbidden", .input = R"({"message":"Forbidden"})", .taken = 0, .status = -1,
     .err = "Forbidden", .out = "Got message Forbidden\nBad API key\nForbidden\n"},
    {.name = "MessageEndsAtComma", .input = R"({"message":"a, b"})", .taken = 0, .status = -1,
     .err = "a", .out = "Got message a\na\n"},
    {.name = "MessageAfterId", .input = R"({"requestId":"abc","message":"Internal error"})",
     .taken = 0, .status = -1, .id = "abc", .err = "Internal error",
     .out = "Got message Internal error\nInternal error\n"},
    {.name = "MessageCutAt511", .input = "{\"message\":\"" + rep(600, 'm') + "\"}", .taken = 0,
     .status = -1, .err = rep(511, 'm'),
     .out = "Got message " + rep(511, 'm') + "\n" + rep(511, 'm') + "\n"},
    {.name = "Html", .input = "<html>", .taken = 0, .status = -1,
     .err = "unexpected opening character to response <",
     .out = "unexpected opening character to response <\n"},
    {.name = "LeadingBlank", .input = R"( {"requestId":"abc"})", .taken = 0, .status = -1,
     .err = "unexpected opening character to response  ",
     .out = "unexpected opening character to response  \n"},
    {.name = "LeadingNewline", .input = "\n{}", .taken = 0, .status = -1,
     .err = "unexpected opening character to response \n",
     .out = "unexpected opening character to response \n\n"},
    {.name = "EmptyObject", .input = "{}"},
    {.name = "TrailingNewline", .input = "{\"requestId\":\"abc\"}\n", .taken = 19, .id = "abc"},
    {.name = "NewlineAfterBrace", .input = "{\n\"requestId\":\"abc\"}", .taken = 1,
     .out = "Unexpected ending character \n\n"},
    {.name = "Key50", .input = "{\"" + rep(50, 'k') + "\":\"v\"}"},
    {.name = "Key51", .input = "{\"" + rep(51, 'k') + "\":\"v\"}", .taken = 52,
     .out = "Unexpected character after key 0x6b\n"},
    {.name = "NoColonHighByte", .input = "{\"ab\"\xe9\"c\"}", .taken = 5,
     .out = "Unexpected character after key+1 0xe9\n"},
    {.name = "SecondBlankIsValue", .input = R"({"requestId":  "abc"})", .taken = 16, .id = " ",
     .out = "Unexpected ending character a\n"},
    {.name = "Id2500", .input = "{\"requestId\":\"" + rep(2500, 'a') + "\"}", .taken = 14 + 1999,
     .id = rep(1999, 'a'), .out = "Unexpected ending character a\n"},
    {.name = "Id1999EndsChunk", .input = "{\"requestId\":\"" + rep(1999, 'a'), .id = rep(1999, 'a')},
    {.name = "ChunkEndsInId", .input = R"({"requestId":"abc)", .id = "abc", .out = kRanOut},
    {.name = "ChunkEndsAtIdQuote", .input = R"({"requestId": ")", .id = "", .out = kRanOut},
    {.name = "ChunkEndsInMessage", .input = R"({"message":"Forb)", .out = kRanOut},
    {.name = "NoRoomAfterKey", .input = R"({"ab":")", .taken = 4, .out = kNoRoom},
    {.name = "ChunkEndsInKey", .input = R"({"reques)", .out = kNoRoom},
    {.name = "NoComma", .input = R"({"a":"1""requestId":"x"})", .id = "x"},
    {.name = "ManyCommas", .input = R"({"a":"1",, ,,"requestId":"x" })", .id = "x"},
    {.name = "EscapeNotInterpreted", .input = R"({"requestId":"a\"b"})", .taken = 17,
     .id = "a\\", .out = "Unexpected ending character b\n"},
    {.name = "ZeroBytes", .input = "", .taken = 0},
};
// clang-format on

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class ScannerCase : public testing::TestWithParam<Case> {};

TEST_P(ScannerCase, OneChunk)
{
    const Case &c = GetParam();
    const Outcome o = scan({c.input});
    EXPECT_EQ(o.ret, c.taken.value_or(c.input.size()));
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.id, c.id);
    EXPECT_EQ(o.has_err, c.status == -1);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.out, c.out);
}

INSTANTIATE_TEST_SUITE_P(Answers, ScannerCase, testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Where a chunk cut at k stops: at a key's closing quote when fewer than four
// bytes follow it, otherwise at the cut.
size_t stop_for_cut(const std::string &a, size_t k)
{
    for (size_t q = a.find("\":"); q != std::string::npos; q = a.find("\":", q + 1))
        if (k > q && k <= q + 3)
            return q;
    return k;
}

// Every prefix of an answer, as the only chunk, is taken without a rejection
// and leaves the id that had arrived; the rest, as a second chunk, is refused.
TEST(ScannerPrefix, EveryCutOfAnAnswer)
{
    const std::string a = R"({"requestId": "abc-123", "state": "queued"})";
    const size_t v0 = a.find("abc"), v1 = a.find("\",");
    for (size_t k = 0; k <= a.size(); k++) {
        SCOPED_TRACE("cut at " + std::to_string(k));
        const Outcome o = scan({a.substr(0, k)});
        EXPECT_EQ(o.ret, stop_for_cut(a, k));
        EXPECT_EQ(o.status, 0);
        EXPECT_FALSE(o.has_err);
        EXPECT_EQ(o.id, k < v0 ? kUntouched : a.substr(v0, std::min(k, v1) - v0));
        EXPECT_EQ(o.out.find("nexpected"), std::string::npos) << o.out;
        if (k == 0 || k == a.size())
            continue;
        const Outcome two = scan({a.substr(0, k), a.substr(k)});
        EXPECT_EQ(two.ret, 0u);
        EXPECT_EQ(two.status, -1);
        EXPECT_EQ(two.err, std::string("unexpected opening character to response ") + a[k]);
    }
}

// A message is a rejection only once its end has arrived.
TEST(ScannerPrefix, EveryCutOfARejection)
{
    const std::string a = R"({"message": "Forbidden"})";
    const size_t end = a.rfind('"');
    for (size_t k = 0; k <= a.size(); k++) {
        SCOPED_TRACE("cut at " + std::to_string(k));
        const Outcome o = scan({a.substr(0, k)});
        const bool rejected = k > end;
        EXPECT_EQ(o.ret, rejected ? 0 : stop_for_cut(a, k));
        EXPECT_EQ(o.status, rejected ? -1 : 0);
        EXPECT_EQ(o.err, rejected ? "Forbidden" : "");
        EXPECT_EQ(o.out.find("Got message") != std::string::npos, rejected);
    }
}

// A second chunk that happens to open with a brace is an object of its own.
TEST(ScannerChunks, BraceOpensANewObject)
{
    const Outcome o = scan({R"({"state":"x",)", R"({"requestId":"b"})"});
    EXPECT_EQ(o.ret, 17u);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.id, "b");
}

} // namespace

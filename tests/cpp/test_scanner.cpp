// Unit tests of make_request_write_callback, the submit-answer scanner.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pemu_internal.h"

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

// Runs one chunk from an exactly-sized heap block (libcurl's chunks carry no
// terminator), so ASan reports any read past its end.
size_t feed(submit_response_t *r, const std::string &chunk)
{
    std::unique_ptr<char[]> block(new char[chunk.size()]);
    memcpy(block.get(), chunk.data(), chunk.size());
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

struct Case {
    const char *name;
    std::string input;
    long ret; // N + d stands for the chunk length + d
    int32_t status;
    std::string id;
    std::string err;
    std::string out;
};

constexpr long N = 1L << 40;

std::string rep(size_t n, char c) { return std::string(n, c); }

const std::string kRanOut = "Ran out of buffer during val scraping";
const std::string kNoRoom = "Ran out of buffer during transition to val\n";

const Case kCases[] = {
    {"Plain", R"({"requestId":"abc"})", N, 0, "abc", "", ""},
    {"BlanksAndOtherMember", R"({"requestId": "abc", "state": "queued"})", N, 0, "abc", "", ""},
    {"BareNumber", R"({"requestId":12345})", N, 0, "12345", "", ""},
    {"BareValueKeepsBlank", R"({"requestId":12345 })", N, 0, "12345 ", "", ""},
    {"Forbidden", R"({"message":"Forbidden"})", 0, -1, kUntouched, "Forbidden",
     "Got message Forbidden\nBad API key\nForbidden\n"},
    {"MessageEndsAtComma", R"({"message":"a, b"})", 0, -1, kUntouched, "a", "Got message a\na\n"},
    {"MessageAfterId", R"({"requestId":"abc","message":"Internal error"})", 0, -1, "abc",
     "Internal error", "Got message Internal error\nInternal error\n"},
    {"MessageCutAt511", "{\"message\":\"" + rep(600, 'm') + "\"}", 0, -1, kUntouched,
     rep(511, 'm'), "Got message " + rep(511, 'm') + "\n" + rep(511, 'm') + "\n"},
    {"Html", "<html>", 0, -1, kUntouched, "unexpected opening character to response <",
     "unexpected opening character to response <\n"},
    {"LeadingBlank", R"( {"requestId":"abc"})", 0, -1, kUntouched,
     "unexpected opening character to response  ", "unexpected opening character to response  \n"},
    {"LeadingNewline", "\n{}", 0, -1, kUntouched, "unexpected opening character to response \n",
     "unexpected opening character to response \n\n"},
    {"EmptyObject", "{}", N, 0, kUntouched, "", ""},
    {"TrailingNewline", "{\"requestId\":\"abc\"}\n", N - 1, 0, "abc", "", ""},
    {"NewlineAfterBrace", "{\n\"requestId\":\"abc\"}", 1, 0, kUntouched, "",
     "Unexpected ending character \n\n"},
    {"Key50", "{\"" + rep(50, 'k') + "\":\"v\"}", N, 0, kUntouched, "", ""},
    {"Key51", "{\"" + rep(51, 'k') + "\":\"v\"}", 52, 0, kUntouched, "",
     "Unexpected character after key 0x6b\n"},
    {"NoColonHighByte", "{\"ab\"\xe9\"c\"}", 5, 0, kUntouched, "",
     "Unexpected character after key+1 0xe9\n"},
    {"SecondBlankIsValue", R"({"requestId":  "abc"})", 16, 0, " ", "",
     "Unexpected ending character a\n"},
    {"Id2500", "{\"requestId\":\"" + rep(2500, 'a') + "\"}", 14 + 1999, 0, rep(1999, 'a'), "",
     "Unexpected ending character a\n"},
    {"Id1999EndsChunk", "{\"requestId\":\"" + rep(1999, 'a'), N, 0, rep(1999, 'a'), "", ""},
    {"ChunkEndsInId", R"({"requestId":"abc)", N, 0, "abc", "", kRanOut},
    {"ChunkEndsAtIdQuote", R"({"requestId": ")", N, 0, "", "", kRanOut},
    {"ChunkEndsInMessage", R"({"message":"Forb)", N, 0, kUntouched, "", kRanOut},
    {"NoRoomAfterKey", R"({"ab":")", 4, 0, kUntouched, "", kNoRoom},
    {"ChunkEndsInKey", R"({"reques)", N, 0, kUntouched, "", kNoRoom},
    {"NoComma", R"({"a":"1""requestId":"x"})", N, 0, "x", "", ""},
    {"ManyCommas", R"({"a":"1",, ,,"requestId":"x" })", N, 0, "x", "", ""},
    {"EscapeNotInterpreted", R"({"requestId":"a\"b"})", 17, 0, "a\\", "",
     "Unexpected ending character b\n"},
    {"ZeroBytes", "", 0, 0, kUntouched, "", ""},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class ScannerCase : public testing::TestWithParam<Case> {};

TEST_P(ScannerCase, OneChunk)
{
    const Case &c = GetParam();
    const Outcome o = scan({c.input});
    EXPECT_EQ(o.ret, c.ret >= N / 2 ? c.input.size() + (c.ret - N) : (size_t)c.ret);
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

// Unit tests of the poll body path: write_memory_callback, gunzip,
// _unzip_data and the checks of a decoded result.
#include <gtest/gtest.h>
#include <zlib.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pemu_internal.h"
#include "remote/decode.h"
#include "support.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr uint64_t kFill = 0xA5A5A5A5A5A5A5A5ull;

Bytes gz(const Bytes &raw)
{
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&s, raw.size()) + 32);
    s.next_in = const_cast<unsigned char *>(raw.data());
    s.avail_in = (uInt)raw.size();
    s.next_out = out.data();
    s.avail_out = (uInt)out.size();
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

Bytes cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes head(const Bytes &a, size_t n) { return Bytes(a.begin(), a.begin() + n); }
Bytes bad_crc(Bytes a)
{
    a[a.size() - 8] ^= 0xFF;
    return a;
}
Bytes zeros(size_t n) { return Bytes(n, 0); }
Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

// Exactly-sized heap body, as the poll loop leaves it: ASan sees overreads.
struct Body {
    body_buffer_t b;
    explicit Body(const Bytes &bytes)
        : b{pemu_test::heap_chunk(bytes.data(), bytes.size()).release(), bytes.size()}
    {
    }
    ~Body() { free(b.bytes); }
};

/* ---- write_memory_callback ----------------------------------------- */

struct IntakeCase {
    const char *name;
    std::vector<std::string> chunks;
    std::vector<size_t> rets;
    std::string stored;
    std::string out;
};

const std::string kXml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error/>";

// One row a case, broken by hand.
// clang-format off
const IntakeCase kIntake[] = {
    {"ThreeChunksInOrder", {"ab", "cdef", "g"}, {2, 4, 1}, "abcdefg", ""},
    {"MessageRefusedSilently", {R"({"message":"not ready"})"}, {0}, "", ""},
    {"MessageTenBytes", {R"({"message")"}, {0}, "", ""},
    {"MessageNeedsTenBytes", {R"({"message)"}, {9}, R"({"message)", ""},
    {"BlankAfterBraceStored", {R"({ "message":"x"})"}, {16}, R"({ "message":"x"})", ""},
    {"MessageInLaterChunk", {"abc", R"({"message":"x"})"}, {3, 0}, "abc", ""},
    {"XmlRefusedAndPrinted", {kXml}, {0}, "", "Output is not expected binary, got " + kXml},
    {"XmlPrintStopsAtNul", {std::string("<?xml version=\"1.0\"\0tail", 24)}, {0}, "",
     "Output is not expected binary, got <?xml version=\"1.0\""},
    {"XmlFifteenBytes", {"<?xml version=\""}, {0}, "",
     "Output is not expected binary, got <?xml version=\""},
    {"XmlNeedsFifteenBytes", {"<?xml version="}, {14}, "<?xml version=", ""},
    {"ZeroByteChunk", {"ab", ""}, {2, 0}, "ab", ""},
};
// clang-format on

void PrintTo(const IntakeCase &c, std::ostream *os) { *os << c.name; }

class Intake : public testing::TestWithParam<IntakeCase> {};

TEST_P(Intake, Chunks)
{
    const IntakeCase &c = GetParam();
    body_buffer_t body = {static_cast<char *>(malloc(1)), 0};
    testing::internal::CaptureStdout();
    for (size_t i = 0; i < c.chunks.size(); i++) {
        const auto chunk = pemu_test::heap_chunk(c.chunks[i].data(), c.chunks[i].size());
        EXPECT_EQ(write_memory_callback(chunk.get(), 1, c.chunks[i].size(), &body), c.rets[i])
            << "chunk " << i;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(std::string(body.bytes, body.length), c.stored);
    free(body.bytes);
}

INSTANTIATE_TEST_SUITE_P(Body, Intake, testing::ValuesIn(kIntake),
                         [](const auto &info) { return std::string(info.param.name); });

/* ---- gunzip -------------------------------------------------------- */

const Bytes kSums35 = {0x29, 0x01}; // sums of {3, 5}: 0, 3, 5, 8

struct GunzipCase {
    const char *name;
    Bytes source;
    uint64_t cap;
    int rc;
    Bytes want; // on success
};

const GunzipCase kGunzip[] = {
    {"Roomy", gz(kSums35), 16, Z_OK, kSums35},
    {"ExactFit", gz(kSums35), 2, Z_OK, kSums35},
    {"TooSmall", gz(kSums35), 1, Z_BUF_ERROR, {}},
    {"EmptyResult", gz({}), 0, Z_OK, {}},
    {"SecondMemberIgnored", cat(gz(kSums35), gz({7, 7, 7})), 16, Z_OK, kSums35},
    {"Truncated", head(gz(kSums35), gz(kSums35).size() - 3), 16, Z_BUF_ERROR, {}},
    {"NotGzip", text("hello, world"), 16, Z_DATA_ERROR, {}},
    {"EmptyInput", {}, 16, Z_BUF_ERROR, {}},
    {"CapacityOver32Bits", gz(kSums35), 1ull << 32, Z_BUF_ERROR, {}},
};

void PrintTo(const GunzipCase &c, std::ostream *os) { *os << c.name; }

class Gunzip : public testing::TestWithParam<GunzipCase> {};

TEST_P(Gunzip, Status)
{
    const GunzipCase &c = GetParam();
    Body in(c.source);
    Bytes dest(64, 0xEE);
    uint64_t len = c.cap;
    EXPECT_EQ(gunzip(dest.data(), &len, (const unsigned char *)in.b.bytes, in.b.length), c.rc);
    if (c.rc == Z_OK) {
        ASSERT_EQ(len, c.want.size());
        EXPECT_TRUE(std::equal(c.want.begin(), c.want.end(), dest.begin()));
    } else {
        EXPECT_EQ(len, c.cap) << "length changed on failure";
    }
}

INSTANTIATE_TEST_SUITE_P(Body, Gunzip, testing::ValuesIn(kGunzip),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(GunzipLimits, SourceOver32BitsIsRefusedUnread)
{
    unsigned char dest[4];
    uint64_t len = sizeof dest;
    const unsigned char byte = 0;
    EXPECT_EQ(gunzip(dest, &len, &byte, 1ull << 32), Z_BUF_ERROR);
    EXPECT_EQ(len, sizeof dest);
}

/* ---- _unzip_data --------------------------------------------------- */

struct UnzipCase {
    const char *name;
    Bytes body; // as received
    size_t cap;
    int rc;
    std::vector<uint64_t> want; // kFill: a word left as it was
    std::string out;
};

Bytes bytes_1_to(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (unsigned char)(i + 1);
    return b;
}

const std::string kOverrun = "Overrun output size\n";

// One row a case, broken by hand.
// clang-format off
const UnzipCase kUnzip[] = {
    {"Sums35", gz(kSums35), 1, Z_OK, {0x129}, ""},
    {"TrailingZerosIgnored", gz(cat(kSums35, zeros(14))), 1, Z_OK, {0x129}, ""},
    {"NineBytesOneWord", gz(bytes_1_to(9)), 1, Z_OK, {0x0807060504030201}, kOverrun},
    {"EmptyList", gz({0x01}), 1, Z_OK, {1}, ""},
    {"LaterWordsKept", gz({0x01}), 3, Z_OK, {1, kFill, kFill}, ""},
    {"InnerZeroWordCleared", gz(cat(cat({1}, zeros(15)), {2})), 3, Z_OK, {1, 0, 2}, ""},
    {"ZeroWordBeforeOverrun", gz(cat(cat({1}, zeros(15)), {2})), 2, Z_OK, {1, 0}, kOverrun},
    {"ZerosBeyondCapacity", gz(cat(bytes_1_to(8), zeros(100))), 1, Z_OK,
     {0x0807060504030201}, ""},
    {"AllZero", gz(zeros(16)), 2, Z_OK, {kFill, kFill}, ""},
    {"NothingInside", gz({}), 1, Z_OK, {kFill}, ""},
    {"ZeroCapacity", gz({1}), 0, Z_OK, {}, kOverrun},
    {"SecondMemberIgnored", cat(gz({1}), gz({2, 3})), 2, Z_OK, {1, kFill}, ""},
    {"GarbageAfterMember", cat(gz({1}), text("junk")), 1, Z_OK, {1}, ""},
    {"NotGzip", text(R"({"requestId":"x"})"), 1, Z_DATA_ERROR, {kFill}, ""},
    {"Empty", {}, 1, Z_BUF_ERROR, {kFill}, ""},
    {"BadCrc", bad_crc(gz(bytes_1_to(20))), 3, Z_DATA_ERROR, {}, ""},
    {"HeaderOnly", head(gz({1}), 10), 1, Z_BUF_ERROR, {kFill}, ""},
};
// clang-format on

void check_unzip(const Bytes &body_bytes, size_t cap, int rc, const std::vector<uint64_t> &want,
                 const std::string &out)
{
    Body body(body_bytes);
    // A fill word on each side catches a write outside the capacity.
    std::vector<uint64_t> words(cap + 2, kFill);
    size_t count = cap;
    unzip_output_t o = {words.data() + 1, &count, 0, 0, 0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(_unzip_data(&body.b, &o), rc);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), out);
    EXPECT_EQ(count, cap);
    EXPECT_EQ(o.done, 1);
    EXPECT_EQ(o.overrun, out == kOverrun ? 1 : 0);
    EXPECT_EQ(words.front(), kFill);
    EXPECT_EQ(words.back(), kFill);
    for (size_t w = 0; w < want.size(); w++)
        EXPECT_EQ(words[w + 1], want[w]) << "word " << w;
}

void PrintTo(const UnzipCase &c, std::ostream *os) { *os << c.name; }

class Unzip : public testing::TestWithParam<UnzipCase> {};

TEST_P(Unzip, Words)
{
    const UnzipCase &c = GetParam();
    check_unzip(c.body, c.cap, c.rc, c.want, c.out);
}

INSTANTIATE_TEST_SUITE_P(Body, Unzip, testing::ValuesIn(kUnzip),
                         [](const auto &info) { return std::string(info.param.name); });

// Results beyond one scratch area (64 KiB) decode whole; one non-zero byte
// past the capacity is reported once, after every word that fits.
TEST(UnzipLarge, DecodesPastOneScratchArea)
{
    Bytes raw(3 * 65536 + 13);
    uint32_t x = 12345;
    for (auto &b : raw)
        b = (unsigned char)((x = x * 1103515245u + 12345u) >> 24 | 1);
    std::vector<uint64_t> want((raw.size() + 7) / 8, 0);
    memcpy(want.data(), raw.data(), raw.size()); // little-endian host
    check_unzip(gz(raw), want.size(), Z_OK, want, "");
    check_unzip(gz(cat(raw, zeros(70000))), want.size(), Z_OK, want, "");
    want.pop_back();
    check_unzip(gz(raw), want.size(), Z_OK, want, kOverrun);
    // An oversized body is still read to its end, so corruption shows.
    check_unzip(bad_crc(gz(raw)), 1, Z_DATA_ERROR, {want[0]}, kOverrun);
    // ... but not without end: a bomb (here with a bad checksum that a read
    // to the end would find) stops within its budget.
    check_unzip(bad_crc(gz(Bytes(64 << 20, 0xff))), 1, Z_OK, {~0ull}, kOverrun);
}

/* ---- checks of a decoded result ------------------------------------- */

Bytes le_bytes(const std::vector<uint64_t> &words)
{
    Bytes out(words.size() * 8);
    memcpy(out.data(), words.data(), out.size()); // little-endian host
    return out;
}

struct ResultCase {
    const char *name;
    uint64_t total;
    size_t capacity;
    Bytes body;
    const char *refusal; // nullptr: accepted
};

const char *const kNoBit0 = "Result lacks bit 0 (the empty subset)";
const char *const kNoTotal = "Result lacks the bit of the total of the values";
const char *const kAbove = "Result holds bits above the total of the values";

// Bit 0 is refused missing whatever else the words hold: the other checks
// (the total's bit, nothing above it) pass for the rows that lack only it.
// clang-format off
const ResultCase kResults[] = {
    {"ThreeAndFive", 8, 1, gz(le_bytes({0x129})), nullptr},
    {"TwoWordsWithTrailingZeros", 70, 2, gz(cat(le_bytes({0x3, 0x40}), zeros(9))), nullptr},
    {"NoBit0OtherBitsOfWordZero", 8, 1, gz(le_bytes({0x128})), kNoBit0},
    {"NoBit0WordZeroHasOthers", 70, 2, gz(le_bytes({0x2, 0x40})), kNoBit0},
    {"NoBit0WordZeroEmpty", 70, 2, gz(le_bytes({0x0, 0x40})), kNoBit0},
    {"AllZero", 8, 1, gz(zeros(8)), kNoBit0},
    {"NoTotalShortBody", 70, 2, gz(le_bytes({0x1})), kNoTotal},
    {"NoTotalInLastWord", 70, 2, gz(le_bytes({0x1, 0x20})), kNoTotal},
    {"AboveTheTotalInItsWord", 8, 1, gz(le_bytes({0x329})), kAbove},
    {"AboveTheTotalInALaterWord", 8, 2, gz(le_bytes({0x129, 0x1})), kAbove},
    {"BeyondTheBuffer", 8, 1, gz(le_bytes({0x129, 0x1})), "Result holds bits beyond the result buffer"},
    {"NotGzip", 8, 1, text("plain bytes"), "Result body could not be decoded (zlib status -3: data error)"},
};
// clang-format on

void PrintTo(const ResultCase &c, std::ostream *os) { *os << c.name; }

class ResultCheck : public testing::TestWithParam<ResultCase> {};

TEST_P(ResultCheck, DecodesThenRefusesOrAccepts)
{
    const ResultCase &c = GetParam();
    Body body(c.body);
    std::vector<uint64_t> words(c.capacity, kFill);
    size_t capacity = c.capacity;
    char err[PEMU_ERR_BUF_SIZE] = "";
    testing::internal::CaptureStdout();
    const pemu_status_t rc =
        pemu::remote::decode_result(body.b, c.total, words.data(), &capacity, err);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(capacity, c.capacity);
    if (c.refusal == nullptr) {
        EXPECT_EQ(rc, 0) << err;
        EXPECT_EQ(out, "");
        return;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(err, c.refusal);
    EXPECT_NE(out.find(std::string("Failed with error: ") + c.refusal + "\n"), std::string::npos)
        << out;
}

INSTANTIATE_TEST_SUITE_P(Body, ResultCheck, testing::ValuesIn(kResults),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace

// Request building and error plumbing of the remote client; the transfers
// themselves are tested end to end against the local service.
#include "pemu_internal.h"
#include "support.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::string body_of(std::vector<uint64_t> values)
{
    char *text = _generate_curl_data(values.data(), values.size());
    EXPECT_NE(text, nullptr);
    std::string s = text != nullptr ? text : "";
    free(text);
    return s;
}

TEST(RequestBody, Table)
{
    const uint64_t max = UINT64_MAX;
    struct Case {
        std::vector<uint64_t> values;
        std::string body;
    } cases[] = {
        {{}, "[]"},
        {{0}, "[0]"},
        {{3, 5, 10}, "[3,5,10]"},
        {{max}, "[18446744073709551615]"},
        // Totals beyond 64 bits are the caller's problem, but the text must
        // still fit its buffer.
        {{max, max, max}, "[18446744073709551615,18446744073709551615,"
                          "18446744073709551615]"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(body_of(c.values), c.body);
}

TEST(RequestBody, ManyLongValuesFitExactly)
{
    std::vector<uint64_t> values(1000, UINT64_MAX - 1);
    std::string body = body_of(values);
    EXPECT_EQ(body.size(), 2 + 1000 * 20 + 999);
}

std::vector<std::string> lines_of(curl_slist *l)
{
    std::vector<std::string> out;
    for (; l != nullptr; l = l->next)
        out.push_back(l->data);
    return out;
}

TEST(HeaderList, KeyFromEnvironmentPerMode)
{
    pemu_test::EnvGuard env({"PEMU_API_KEY"});
    setenv("PEMU_API_KEY", "k-123", 1);
    curl_slist *submit = _generate_slist(1);
    curl_slist *poll = _generate_slist(2);
    setenv("PEMU_API_KEY", "other", 1);
    curl_slist *later = _generate_slist(7);
    EXPECT_EQ(lines_of(submit), (std::vector<std::string>{
                                    "x-api-key: k-123",
                                    "Content-Type: application/json"}));
    EXPECT_EQ(lines_of(poll), std::vector<std::string>{"x-api-key: k-123"});
    EXPECT_EQ(lines_of(later), std::vector<std::string>{"x-api-key: other"});
    curl_slist_free_all(submit);
    curl_slist_free_all(poll);
    curl_slist_free_all(later);
}

TEST(ErrorBuffer, CopiesPrintsAndCuts)
{
    char buf[PEMU_ERR_BUF_SIZE];
    memset(buf, 'x', sizeof buf);
    testing::internal::CaptureStdout();
    _safe_copy_to_err_buff("short", buf);
    _safe_copy_to_err_buff("ignored", nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed with error: short\nFailed with error: ignored\n");
    EXPECT_STREQ(buf, "short");
    for (size_t i = 5; i < sizeof buf; i++)
        ASSERT_EQ(buf[i], '\0') << i;

    std::string longer(300, 'm');
    testing::internal::CaptureStdout();
    _safe_copy_to_err_buff(longer.c_str(), buf);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::string(buf), longer.substr(0, 127));
}

TEST(TransientCodes, OnlyTimeoutAndHandshake)
{
    for (int code = 0; code < 100; code++)
        EXPECT_EQ(_curl_transient_err(code) != 0, code == 28 || code == 35) << code;
}

TEST(CaLocation, OwnBundleComesFirstAndIsNeverReplaced)
{
    pemu_test::EnvGuard env({"PEMU_CA_BUNDLE"});
    setenv("PEMU_CA_BUNDLE", "/", 1);
    testing::internal::CaptureStdout();
    EXPECT_STREQ(_curl_ca_location(), "/");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Checking curl cert location /\nFound curl cert\n");

    setenv("PEMU_CA_BUNDLE", "/nonexistent/ca.pem", 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(_curl_ca_location(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Checking curl cert location /nonexistent/ca.pem\n");

    char err[PEMU_ERR_BUF_SIZE] = "";
    uint64_t values[] = {1, 2};
    uint64_t words[1];
    size_t count = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(_online_fetch_complete_subset_sum(values, 2, words, &count, err), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(err, "[Local failure] PEMU_CA_BUNDLE names nothing that exists");
    EXPECT_EQ(count, 1u);
}

// ---- poll bodies that carry the service's giving up --------------------

TEST(PollBodyError, Table)
{
    struct Case {
        const char *body;
        int found;
        const char *text;
    } cases[] = {
        {R"({"error":"worker died twice"})", 1, "worker died twice"},
        {" \n{ \"error\" : \"out of memory\" }\n", 1, "out of memory"},
        {R"({"requestId":"a,}b","error":"gone"})", 1, "gone"},
        {R"({"meta":{"a":[1,{"b":"}"}]},"error":"late"})", 1, "late"},
        {R"({"error":"say \"hi\"\n\u0041\u00e9\\"})", 1, "say \"hi\" A?\\"},
        {R"({"error":{"code":7}})", 1, "{\"code\":7}"},
        {R"({"error":42 })", 1, "42"},
        {R"({"error":""})", 1, ""},
        {R"({"errors":"x"})", 0, ""},
        {R"({"message":"Result not ready"})", 0, ""},
        {R"(["error","x"])", 0, ""},
        {"\x1f\x8b\x08\x00", 0, ""},
        {"", 0, ""},
        {R"({"error":"bad \u00zz"})", 0, ""},
    };
    for (const Case &c : cases) {
        char out[PEMU_ERR_BUF_SIZE] = "unchanged";
        EXPECT_EQ(_poll_body_error(c.body, strlen(c.body), out, sizeof out), c.found)
            << c.body;
        if (c.found) {
            EXPECT_STREQ(out, c.text) << c.body;
        }
    }
}

// A body cut anywhere before its end is no error answer, and the scanner
// never reads past the cut (checked under AddressSanitizer: exact chunks).
TEST(PollBodyError, CutBodiesAreNotAnswers)
{
    const std::string body = R"({"id":"x\"y","error":"worker died twice"})";
    for (size_t n = 0; n < body.size(); n++) {
        std::vector<char> chunk(body.begin(), body.begin() + n);
        char out[PEMU_ERR_BUF_SIZE];
        EXPECT_EQ(_poll_body_error(chunk.data(), n, out, sizeof out), 0) << n;
    }
}

TEST(PollBodyError, LongTextIsCutToTheBuffer)
{
    const std::string body = "{\"error\":\"" + std::string(300, 'e') + "\"}";
    char out[16];
    ASSERT_EQ(_poll_body_error(body.data(), body.size(), out, sizeof out), 1);
    EXPECT_EQ(std::string(out), std::string(15, 'e'));
}

// ---- cancelling a remote call ------------------------------------------

int always(void *asked)
{
    ++*static_cast<int *>(asked);
    return 1;
}

// A remote call that would go to a closed port, with the environment put
// back afterwards.
struct RemoteEnv {
    RemoteEnv()
    {
        setenv("PEMU_BASE_URL", "https://127.0.0.1:1", 1);
        setenv("PEMU_CA_BUNDLE", "/", 1);
        unsetenv("PEMU_KILLSWITCH");
    }
    pemu_test::EnvGuard saved{{"PEMU_BASE_URL", "PEMU_CA_BUNDLE", "PEMU_KILLSWITCH"}};
};

TEST(Cancel, HookThatSaysStopEndsTheCallBeforeAnyTransfer)
{
    RemoteEnv env;
    uint64_t values[] = {3, 5};
    uint64_t words[1] = {0};
    size_t count = 1;
    char err[PEMU_ERR_BUF_SIZE] = "";
    int asked = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(fetch_complete_subset_sum_cancellable(values, 2, words, &count, err,
                                                    always, &asked),
              -1);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(err, "[Local failure] request cancelled");
    EXPECT_GE(asked, 1);
}

int never(void *user)
{
    ++*static_cast<int *>(user);
    return 0;
}

void count_progress(double fraction, void *user)
{
    static_cast<std::vector<double> *>(user)->push_back(fraction);
}

TEST(Cancel, LocalPathAsksTheHookToo)
{
    pemu_test::EnvGuard env({"PEMU_KILLSWITCH"});
    setenv("PEMU_KILLSWITCH", "1", 1);
    uint64_t values[] = {3, 5};
    uint64_t words[1] = {0};
    size_t count = 1;
    int asked = 0;
    char err[PEMU_ERR_BUF_SIZE] = {0};
    EXPECT_EQ(fetch_complete_subset_sum_cancellable(values, 2, words, &count, err,
                                                    always, &asked),
              -1);
    EXPECT_STREQ(err, "[Local failure] cancelled");
    EXPECT_EQ(asked, 1);

    asked = 0;
    std::vector<double> fractions;
    EXPECT_EQ(fetch_complete_subset_sum_watched(values, 2, words, &count, err, never,
                                                &asked, count_progress, &fractions),
              0);
    EXPECT_EQ(words[0], 0x129u);
    EXPECT_EQ(asked, 1);
    ASSERT_FALSE(fractions.empty());
    EXPECT_EQ(fractions.back(), 1.0);
}

// Shutdown is for good, so it runs in a child process of its own.
void shutdown_then_call()
{
    RemoteEnv env;
    if (pemu_shutdown(1000) != 0)
        _exit(2);
    uint64_t values[] = {3, 5};
    uint64_t words[1] = {0};
    size_t count = 1;
    char err[PEMU_ERR_BUF_SIZE] = "";
    int rc = fetch_complete_subset_sum(values, 2, words, &count, err);
    _exit(rc == -1 && strcmp(err, "[Local failure] request cancelled") == 0 ? 0 : 3);
}

TEST(CancelDeathTest, AfterShutdownEveryRemoteCallFailsAtOnce)
{
    EXPECT_EXIT(shutdown_then_call(), testing::ExitedWithCode(0), "");
}

} // namespace

// Request building and error plumbing of the remote client; the transfers
// themselves are tested end to end against the local service.
#include "pemu_internal.h"
#include "support.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

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

} // namespace

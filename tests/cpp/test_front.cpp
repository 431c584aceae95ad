// The solver library's front door: path selection, the blocking request's
// buffer contract, and the asynchronous worker with its hand-over of
// ownership to the completion callback.
#include "pemu_internal.h"
#include "support.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using pemu_test::EnvGuard;
// Reference answers for the requests below.
constexpr auto &oracle = pemu_test::bitwise_shift_or;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr auto kDeliveryTimeout = std::chrono::seconds(60);
constexpr const char *kLocalFailure = "[Local failure] ";
// Any file that exists will do: the connection is refused before TLS.
constexpr const char *kSomeExistingFile = "/etc/hostname";
// Nothing listens on port 1, so the refusal is immediate (not transient).
constexpr const char *kRefusingUrl = "https://127.0.0.1:1";

EnvGuard path_env()
{
    return EnvGuard({"PEMU_KILLSWITCH", "PEMU_BASE_URL", "PEMU_CA_BUNDLE"});
}

void set_switch(const char *value)
{
    if (value == nullptr)
        unsetenv("PEMU_KILLSWITCH");
    else
        setenv("PEMU_KILLSWITCH", value, 1);
}

// Any remote attempt fails at once with a connection refusal.
void point_remote_at_nothing()
{
    setenv("PEMU_BASE_URL", kRefusingUrl, 1);
    setenv("PEMU_CA_BUNDLE", kSomeExistingFile, 1);
}

uint64_t *heap_copy(const std::vector<uint64_t> &values)
{
    if (values.empty())
        return nullptr;
    auto *p = static_cast<uint64_t *>(malloc(values.size() * sizeof(uint64_t)));
    memcpy(p, values.data(), values.size() * sizeof(uint64_t));
    return p;
}

// ---- path selection --------------------------------------------------

struct SwitchCase {
    const char *value; // nullptr: unset
    bool local;
};

class SwitchTable : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(SwitchTable, OnlyExactlyOneSelectsLocal)
{
    auto guard = path_env();
    point_remote_at_nothing();
    set_switch(GetParam().value);
    EXPECT_EQ(keep_local(), GetParam().local ? 1 : 0);

    // The chosen path shows in the outcome: local solves, remote is refused.
    uint64_t values[] = {3, 5};
    uint64_t result[1] = {0};
    size_t words = 1;
    char err[PEMU_ERR_BUF_SIZE] = {0};
    pemu_status_t st = fetch_complete_subset_sum(values, 2, result, &words, err);
    if (GetParam().local) {
        EXPECT_EQ(st, 0);
        EXPECT_EQ(result[0], oracle({3, 5})[0]);
    } else {
        EXPECT_EQ(st, -1);
        EXPECT_NE(err[0], '\0');
        EXPECT_EQ(words, 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, SwitchTable,
    ::testing::Values(SwitchCase{nullptr, false}, SwitchCase{"1", true},
                      SwitchCase{"0", false}, SwitchCase{"yes", false},
                      SwitchCase{"", false}, SwitchCase{" 1", false},
                      SwitchCase{"1 ", false}, SwitchCase{"11", false},
                      SwitchCase{"true", false}));

TEST(FetchPath, SwitchIsReadAgainOnEveryRequest)
{
    auto guard = path_env();
    point_remote_at_nothing();
    uint64_t values[] = {1, 2};
    const char *sequence[] = {"1", "0", "1", nullptr, "1"};
    for (const char *sw : sequence) {
        set_switch(sw);
        uint64_t result[1] = {0};
        size_t words = 1;
        char err[PEMU_ERR_BUF_SIZE] = {0};
        pemu_status_t st = fetch_complete_subset_sum(values, 2, result, &words, err);
        const bool local = sw != nullptr && strcmp(sw, "1") == 0;
        EXPECT_EQ(st, local ? 0 : -1) << "switch " << (sw ? sw : "(unset)");
        if (local) {
            EXPECT_EQ(result[0], 0xFu);
        }
    }
}

// ---- blocking request, local path ------------------------------------

TEST(FetchLocal, EmptyValuesGiveSingleWordOne)
{
    auto guard = path_env();
    set_switch("1");
    uint64_t result[1] = {0xDEAD};
    size_t words = 1;
    char err[PEMU_ERR_BUF_SIZE] = {0};
    EXPECT_EQ(fetch_complete_subset_sum(nullptr, 0, result, &words, err), 0);
    EXPECT_EQ(result[0], 1u);
    EXPECT_EQ(words, 1u);
}

// A request and the result words its caller has room for.
struct CapacityCase {
    std::vector<uint64_t> values;
    size_t capacity;
};

class LocalCapacity : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(LocalCapacity, CountBecomesWordsWrittenAndNothingBeyond)
{
    auto guard = path_env();
    set_switch("1");
    const auto &c = GetParam();
    const auto expected = oracle(c.values);
    constexpr uint64_t kSentinel = 0xA5A5A5A5A5A5A5A5u;
    std::vector<uint64_t> result(c.capacity + 2, kSentinel);
    size_t words = c.capacity;
    char err[PEMU_ERR_BUF_SIZE] = {0};
    std::vector<uint64_t> values = c.values;
    ASSERT_EQ(fetch_complete_subset_sum(values.data(), values.size(),
                                        result.data(), &words, err),
              0)
        << err;
    ASSERT_EQ(words, expected.size());
    EXPECT_EQ(std::vector<uint64_t>(result.begin(), result.begin() + words), expected);
    for (size_t i = c.capacity; i < result.size(); i++)
        EXPECT_EQ(result[i], kSentinel) << "word " << i << " beyond the capacity";
    EXPECT_EQ(values, c.values) << "the values must not change";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, LocalCapacity,
    ::testing::Values(CapacityCase{{1, 2}, 1}, CapacityCase{{1, 2}, 4},
                      CapacityCase{{64}, 2}, CapacityCase{{63, 1}, 5},
                      CapacityCase{{0, 0, 7}, 3},
                      CapacityCase{{100, 200, 300, 1}, 10}));

class LocalTooSmall : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(LocalTooSmall, FailsWithLocalMessageAndWritesNothing)
{
    auto guard = path_env();
    set_switch("1");
    const auto &c = GetParam();
    constexpr uint64_t kSentinel = 0x5A5A5A5A5A5A5A5Au;
    std::vector<uint64_t> result(c.capacity + 4, kSentinel);
    size_t words = c.capacity;
    char err[PEMU_ERR_BUF_SIZE];
    memset(err, 'x', sizeof err);
    std::vector<uint64_t> values = c.values;
    EXPECT_EQ(fetch_complete_subset_sum(values.data(), values.size(),
                                        result.data(), &words, err),
              -1);
    ASSERT_NE(memchr(err, '\0', sizeof err), nullptr) << "message not terminated";
    EXPECT_EQ(strncmp(err, kLocalFailure, strlen(kLocalFailure)), 0) << err;
    for (size_t i = c.capacity; i < result.size(); i++)
        EXPECT_EQ(result[i], kSentinel) << "word " << i << " beyond the capacity";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, LocalTooSmall,
    ::testing::Values(CapacityCase{{64}, 1}, CapacityCase{{64, 64}, 2},
                      CapacityCase{{1000}, 10},
                      CapacityCase{{UINT64_MAX, 2}, 1} /* wrapped sum */));

// ---- asynchronous worker ---------------------------------------------

// Address space so tight that no thread stack fits: the checked start
// refuses, and the plain entry still answers once, with a local failure.
// Runs in a child process.
TEST(AsyncNoThread, CheckedStartRefusesAndCallbackStillRunsOnceWithLocalFailure)
{
    if (kSanitized)
        GTEST_SKIP() << "sanitizers reserve far more address space than any limit";
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("PEMU_KILLSWITCH", "1", 1);
        // Warm up stdio and the heap first, so that only the stack is missing.
        printf("child starting\n");
        fflush(stdout);
        void *warm = malloc(64 * 1024);
        free(warm);
        std::ifstream status("/proc/self/status");
        std::string line;
        unsigned long vm_kb = 0;
        while (std::getline(status, line))
            if (line.rfind("VmSize:", 0) == 0)
                vm_kb = strtoul(line.c_str() + 7, nullptr, 10);
        if (vm_kb == 0)
            _exit(3);
        struct rlimit lim;
        lim.rlim_cur = lim.rlim_max = (vm_kb + 256) * 1024;
        if (setrlimit(RLIMIT_AS, &lim) != 0)
            _exit(3);

        struct Seen {
            int calls = 0;
            pemu_status_t status = 0;
            bool local_text = false;
            std::thread::id thread;
        };
        static Seen seen;
        auto cb = [](pemu_status_t st, uint64_t *out, size_t, void *, char *text) {
            __atomic_add_fetch(&seen.calls, 1, __ATOMIC_SEQ_CST);
            seen.status = st;
            seen.local_text =
                text != nullptr && strncmp(text, kLocalFailure, strlen(kLocalFailure)) == 0;
            seen.thread = std::this_thread::get_id();
            free(out);
            free(text);
        };
        uint64_t *values = static_cast<uint64_t *>(malloc(2 * sizeof(uint64_t)));
        values[0] = 1;
        values[1] = 2;
        pthread_t probe;
        if (pthread_create(
                &probe, nullptr, [](void *) -> void * { return nullptr; },
                nullptr) == 0) {
            pthread_join(probe, nullptr);
            _exit(2); // the limit did not bite
        }
        // The checked entry refuses instead, calls nothing and takes
        // nothing over.
        int started = fetch_complete_subset_sum_async_start(values, 2, cb, nullptr);
        if (started == 0) {
            // A cached stack of an earlier thread may still have fitted.
            for (int i = 0; i < 100 && __atomic_load_n(&seen.calls, __ATOMIC_SEQ_CST) == 0; i++)
                usleep(20000);
            _exit(2);
        }
        if (started != -1 || seen.calls != 0 || values[0] != 1 || values[1] != 2)
            _exit(4);
        fetch_complete_subset_sum_async(values, 2, cb, nullptr);
        if (seen.calls == 0) {
            // A cached stack of an earlier thread may still have fitted.
            for (int i = 0; i < 100 && __atomic_load_n(&seen.calls, __ATOMIC_SEQ_CST) == 0; i++)
                usleep(20000);
            _exit(__atomic_load_n(&seen.calls, __ATOMIC_SEQ_CST) == 1 ? 2 : 1);
        }
        // No thread, so the answer came on this thread, before the return.
        _exit(seen.calls == 1 && seen.status == -1 && seen.local_text &&
                      seen.thread == std::this_thread::get_id()
                  ? 0
                  : 1);
    }
    int wstatus = 0;
    pid_t got = 0;
    for (int i = 0; i < 300 && (got = waitpid(pid, &wstatus, WNOHANG)) == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (got == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
        FAIL() << "child hung";
    }
    ASSERT_TRUE(WIFEXITED(wstatus)) << "child died with status " << wstatus;
    if (WEXITSTATUS(wstatus) == 2 || WEXITSTATUS(wstatus) == 3)
        GTEST_SKIP() << "could not make thread creation fail here";
    EXPECT_NE(WEXITSTATUS(wstatus), 4)
        << "the checked start did not refuse cleanly";
    EXPECT_EQ(WEXITSTATUS(wstatus), 0)
        << "callback missing, repeated, or without a local failure";
}

// One request's view of its delivery, filled by the callback.
struct Slot {
    std::vector<uint64_t> values;
    int deliveries = 0;
    pemu_status_t status = 0;
    std::vector<uint64_t> words;
    bool had_buffer = false;
    std::string text;
    bool had_text = false;
    std::thread::id thread;
};

struct Collector {
    std::mutex m;
    std::condition_variable cv;
    int delivered = 0;

    bool wait_for(int n)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, kDeliveryTimeout, [&] { return delivered >= n; });
    }
};

Collector *g_collector = nullptr;

// The callback owns both buffers: copy what it says, then free them.
void record(pemu_status_t status, uint64_t *out, size_t n, void *user, char *text)
{
    auto *slot = static_cast<Slot *>(user);
    std::lock_guard<std::mutex> lock(g_collector->m);
    slot->deliveries++;
    slot->status = status;
    slot->had_buffer = out != nullptr;
    slot->words.assign(out, out + (out != nullptr ? n : 0));
    slot->had_text = text != nullptr;
    slot->text = text != nullptr ? text : "";
    slot->thread = std::this_thread::get_id();
    free(out);
    free(text);
    g_collector->delivered++;
    g_collector->cv.notify_all();
}

class Async : public ::testing::Test {
  protected:
    void SetUp() override { g_collector = &collector_; }
    void TearDown() override { g_collector = nullptr; }

    void start(Slot &slot)
    {
        fetch_complete_subset_sum_async(heap_copy(slot.values), slot.values.size(),
                                        record, &slot);
    }

    // Every slot delivered exactly once; waits at most kDeliveryTimeout.
    void await(std::vector<Slot> &slots)
    {
        const bool all = collector_.wait_for(static_cast<int>(slots.size()));
        std::lock_guard<std::mutex> lock(collector_.m);
        EXPECT_TRUE(all) << collector_.delivered << " of " << slots.size()
                         << " delivered";
        EXPECT_EQ(collector_.delivered, static_cast<int>(slots.size()));
        for (size_t i = 0; i < slots.size(); i++)
            EXPECT_EQ(slots[i].deliveries, 1) << "request " << i;
    }

    // Starts every slot and awaits them; the lock returned keeps the
    // collector still while the test reads what was delivered.
    [[nodiscard]] std::unique_lock<std::mutex> run(std::vector<Slot> &slots)
    {
        for (auto &s : slots)
            start(s);
        await(slots);
        return std::unique_lock<std::mutex>(collector_.m);
    }

    Collector collector_;
    EnvGuard guard_ = path_env();
};

TEST_F(Async, ManyConcurrentRequestsEachDeliveredOnceAndRight)
{
    set_switch("1");
    std::mt19937_64 rng(20240611);
    std::vector<Slot> slots(200);
    for (auto &s : slots) {
        const size_t n = rng() % 12;
        for (size_t i = 0; i < n; i++)
            s.values.push_back(rng() % 4 == 0 ? 0 : rng() % 300);
    }
    const auto lock = run(slots);
    for (size_t i = 0; i < slots.size(); i++) {
        const Slot &s = slots[i];
        EXPECT_EQ(s.status, 0) << "request " << i << ": " << s.text;
        EXPECT_FALSE(s.had_text) << "request " << i;
        EXPECT_EQ(s.words, oracle(s.values)) << "request " << i;
        EXPECT_NE(s.thread, std::this_thread::get_id()) << "request " << i;
    }
}

TEST_F(Async, NoValuesGiveOneWordOne)
{
    set_switch("1");
    std::vector<Slot> slots(1);
    fetch_complete_subset_sum_async(nullptr, 0, record, &slots[0]);
    await(slots);
    std::lock_guard<std::mutex> lock(collector_.m);
    EXPECT_EQ(slots[0].status, 0);
    EXPECT_EQ(slots[0].words, std::vector<uint64_t>{1});
    EXPECT_FALSE(slots[0].had_text);
}

TEST_F(Async, CheckedStartRunsTheWorkerWhichOwnsTheValues)
{
    set_switch("1");
    std::vector<Slot> slots(2);
    slots[0].values = {1, 2};
    slots[1].values = {64};
    for (Slot &slot : slots)
        ASSERT_EQ(fetch_complete_subset_sum_async_start(heap_copy(slot.values),
                                                        slot.values.size(), record, &slot),
                  0);
    await(slots);
    std::lock_guard<std::mutex> lock(collector_.m);
    EXPECT_EQ(slots[0].words, std::vector<uint64_t>{15});
    EXPECT_EQ(slots[1].words, (std::vector<uint64_t>{1, 1}));
}

// Sums that wrap 64 bits must fail, not size a buffer for the wrapped total.
TEST_F(Async, OverflowingValuesDeliverFailure)
{
    set_switch("1");
    std::vector<Slot> slots(4);
    slots[0].values = {UINT64_MAX, 2};
    slots[1].values = {uint64_t{1} << 63, uint64_t{1} << 63};
    slots[2].values = {5, UINT64_MAX, 1, 3};
    slots[3].values = std::vector<uint64_t>(5, uint64_t{1} << 62);
    const auto lock = run(slots);
    for (size_t i = 0; i < slots.size(); i++) {
        EXPECT_EQ(slots[i].status, -1) << "request " << i;
        EXPECT_TRUE(slots[i].had_text) << "request " << i;
        EXPECT_EQ(slots[i].text.rfind(kLocalFailure, 0), 0u) << slots[i].text;
    }
}

TEST_F(Async, UnallocatableResultDeliversFailure)
{
    if (kSanitized)
        GTEST_SKIP() << "sanitizer allocators abort on impossible sizes";
    set_switch("1");
    std::vector<Slot> slots(1);
    slots[0].values = {uint64_t{1} << 62, 3};
    start(slots[0]);
    await(slots);
    std::lock_guard<std::mutex> lock(collector_.m);
    EXPECT_EQ(slots[0].status, -1);
    EXPECT_EQ(slots[0].text.rfind(kLocalFailure, 0), 0u) << slots[0].text;
}

TEST_F(Async, RemoteFailureDeliversTextAndBuffer)
{
    set_switch(nullptr);
    point_remote_at_nothing();
    std::vector<Slot> slots(8);
    for (size_t i = 0; i < slots.size(); i++)
        slots[i].values = {1, 2, 64 * i};
    const auto lock = run(slots);
    for (size_t i = 0; i < slots.size(); i++) {
        const Slot &s = slots[i];
        EXPECT_EQ(s.status, -1) << "request " << i;
        EXPECT_TRUE(s.had_text) << "request " << i;
        EXPECT_FALSE(s.text.empty()) << "request " << i;
        EXPECT_LT(s.text.size(), size_t{PEMU_ERR_BUF_SIZE});
        // The remote path leaves the count at the size the worker allocated.
        EXPECT_TRUE(s.had_buffer) << "request " << i;
        EXPECT_EQ(s.words.size(), oracle(s.values).size()) << "request " << i;
    }
}

TEST_F(Async, SwitchChoosesThePathOfEachBatch)
{
    // The switch only changes while nothing is in flight.
    point_remote_at_nothing();
    for (const char *sw : {"1", "0", "1"}) {
        set_switch(sw);
        {
            std::lock_guard<std::mutex> lock(collector_.m);
            collector_.delivered = 0;
        }
        std::vector<Slot> slots(20);
        for (size_t i = 0; i < slots.size(); i++)
            slots[i].values = {i, 2 * i + 1};
        const auto lock = run(slots);
        for (size_t i = 0; i < slots.size(); i++)
            EXPECT_EQ(slots[i].status, strcmp(sw, "1") == 0 ? 0 : -1)
                << "switch " << sw << " request " << i;
    }
}

} // namespace

// Local solver: the engine against three independent oracles, its buffer
// and failure contract, its kernels, and the hashed-difference helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "pemu_internal.h"
#include "support.h"

namespace {

using pemu_test::bitwise_shift_or;
using Values = std::vector<uint64_t>;
using Words = std::vector<uint64_t>;
constexpr uint64_t kSentinel = 0xA5A5A5A5DEADBEEFull;

uint64_t total_of(const Values &v)
{
    uint64_t t = 0;
    for (uint64_t x : v)
        t += x;
    return t;
}

// Both set representations must give the same answers; small inputs would
// otherwise never leave the sorted list.
constexpr int kModes[] = {1, 0};

struct ListMode {
    explicit ListMode(int allow) : before(_fmss_allow_sum_list(allow)) {}
    ~ListMode() { _fmss_allow_sum_list(before); }
    int before;
};

// Runs the engine on a sentinel-filled buffer with `extra` spare words and
// checks the parts of the contract every successful call must keep.
Words solve(const Values &v, size_t extra = 0)
{
    const size_t needed = size_t(total_of(v) >> 6) + 1;
    Words buf(needed + extra, kSentinel);
    size_t words = buf.size();
    EXPECT_EQ(_fmss_solve(v.data(), v.size(), buf.data(), &words, nullptr), 0);
    EXPECT_EQ(words, needed);
    for (size_t i = needed; i < buf.size(); i++)
        EXPECT_EQ(buf[i], kSentinel) << "word " << i << " beyond the result";
    buf.resize(needed);
    return buf;
}

Words brute_force(const Values &v)
{
    Words r(size_t(total_of(v) >> 6) + 1, 0);
    for (uint64_t mask = 0; mask < (uint64_t(1) << v.size()); mask++) {
        uint64_t s = 0;
        for (size_t i = 0; i < v.size(); i++)
            if (mask >> i & 1)
                s += v[i];
        r[s >> 6] |= uint64_t(1) << (s & 63);
    }
    return r;
}

// A word at a time, for totals too large for one bit at a time.
Words wordwise_shift_or(const Values &v)
{
    Words r(size_t(total_of(v) >> 6) + 1, 0);
    r[0] = 1;
    for (uint64_t x : v) {
        if (x == 0)
            continue;
        const size_t ws = x / 64, bs = x % 64;
        for (size_t w = r.size(); w-- > ws;) {
            uint64_t add = r[w - ws] << bs;
            if (bs != 0 && w > ws)
                add |= r[w - ws - 1] >> (64 - bs);
            r[w] |= add;
        }
    }
    return r;
}

// The hashed-difference algorithm, step by step from its named functions.
Words reference_solve(const Values &v)
{
    uint32_t T = 0;
    for (uint64_t x : v)
        T += uint32_t(x);
    if (T == 0)
        return {1};
    std::vector<uint32_t> weights(2 * size_t(T) + 1), tree(2 * size_t(T), 0),
        origin(T, 0);
    weights[0] = 1;
    for (size_t i = 0; i + 1 < weights.size(); i++)
        weights[i + 1] = uint32_t(uint64_t(weights[i]) * 1234567891u % 314804936u);
    add_new_sums(origin.data(), weights.data(), tree.data(), T, 0, 0);
    for (uint64_t item : v) {
        const uint32_t x = uint32_t(item);
        sized_ar_t *sums = find_new_sums(origin.data(), tree.data(),
                                         weights.data(), T, 1234567891u, 0, T, x);
        for (uint32_t i = 1; i <= sums[0]; i++)
            add_new_sums(origin.data(), weights.data(), tree.data(), T, sums[i], x);
        free(sums);
    }
    Words r((T >> 6) + 1, 0);
    for (size_t i = 0; i < r.size(); i++)
        for (uint32_t b = 0; b < 64 && i * 64 + b < T; b++)
            if (origin[i * 64 + b] != 0)
                r[i] |= uint64_t(1) << b;
    r[0] |= 1;
    r.back() |= uint64_t(1) << (T & 63);
    return r;
}

// Sorted runs [lo, hi] of the subset sums; exact for any total, and cheap
// while the set has few runs, which is where bitsets of 2**32 bits sit.
using Runs = std::vector<std::pair<uint64_t, uint64_t>>;

Runs interval_oracle(const Values &v)
{
    Runs set{{0, 0}};
    for (uint64_t x : v) {
        Runs all = set;
        for (auto [lo, hi] : set)
            all.push_back({lo + x, hi + x});
        std::sort(all.begin(), all.end());
        Runs merged;
        for (auto r : all)
            if (!merged.empty() && r.first <= merged.back().second + 1)
                merged.back().second = std::max(merged.back().second, r.second);
            else
                merged.push_back(r);
        set = merged;
    }
    return set;
}

Runs runs_of(const Words &w)
{
    Runs runs;
    for (uint64_t s = 0; s < uint64_t(w.size()) * 64; s++) {
        if (w[s >> 6] == 0 && (s & 63) == 0) {
            s += 63;
            continue;
        }
        if (!(w[s >> 6] >> (s & 63) & 1))
            continue;
        if (!runs.empty() && runs.back().second + 1 == s)
            runs.back().second = s;
        else
            runs.push_back({s, s});
    }
    return runs;
}

Values random_values(std::mt19937_64 &rng, size_t n, uint64_t lo, uint64_t hi,
                     uint64_t g = 1)
{
    std::uniform_int_distribution<uint64_t> d(lo, hi);
    Values v(n);
    for (auto &x : v)
        x = d(rng) * g;
    return v;
}

// ---- known answers ---------------------------------------------------

struct KnownCase {
    const char *name;
    Values values;
    std::vector<uint64_t> sums; // every set bit of the answer
};

class KnownAnswers : public testing::TestWithParam<KnownCase> {};

TEST_P(KnownAnswers, SetBitsAreExactlyTheSums)
{
    const KnownCase &c = GetParam();
    Words want(size_t(total_of(c.values) >> 6) + 1, 0);
    for (uint64_t s : c.sums)
        want[s >> 6] |= uint64_t(1) << (s & 63);
    for (int lists : kModes) {
        ListMode mode(lists);
        EXPECT_EQ(solve(c.values, 3), want) << "sum list allowed: " << lists;
    }
}

// One row a case, broken by hand.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Edges, KnownAnswers,
    testing::Values(
        KnownCase{"empty", {}, {0}},
        KnownCase{"zeros", {0, 0, 0}, {0}},
        KnownCase{"zero_adds_nothing", {0, 4, 0}, {0, 4}},
        KnownCase{"pair", {1, 2}, {0, 1, 2, 3}},
        KnownCase{"equal_values_used_once", {2, 2}, {0, 2, 4}},
        KnownCase{"three_copies_fold", {5, 5, 5}, {0, 5, 10, 15}},
        KnownCase{"four_copies_fold", {3, 3, 3, 3}, {0, 3, 6, 9, 12}},
        KnownCase{"worked_example", {3, 5, 7, 11},
                  {0, 3, 5, 7, 8, 10, 11, 12, 14, 15, 16, 18, 19, 21, 23, 26}},
        KnownCase{"last_bit_of_a_word", {63}, {0, 63}},
        KnownCase{"first_bit_of_word_1", {64}, {0, 64}},
        KnownCase{"word_boundary_pair", {1, 63}, {0, 1, 63, 64}},
        KnownCase{"common_divisor", {6, 9}, {0, 6, 9, 15}},
        KnownCase{"divisor_beyond_a_word", {100, 100, 300}, {0, 100, 200, 300, 400, 500}}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

// ---- agreement with the oracles ------------------------------------------

TEST(Oracles, SmallRandomInputsMatchBruteForceAndReference)
{
    std::mt19937_64 rng(1);
    for (int round = 0; round < 3000; round++) {
        const uint64_t g = round % 5 == 0 ? 1 + rng() % 9 : 1;
        Values v = random_values(rng, rng() % 11, 0, 1 + rng() % 60, g);
        SCOPED_TRACE(testing::PrintToString(v));
        const Words want = brute_force(v);
        ASSERT_EQ(reference_solve(v), want);
        for (int lists : kModes) {
            ListMode mode(lists);
            ASSERT_EQ(solve(v, round % 2), want) << "sum list allowed: " << lists;
        }
    }
}

struct Profile {
    const char *name;
    size_t n;
    uint64_t lo, hi, g;
};

class RandomProfiles : public testing::TestWithParam<Profile> {};

TEST_P(RandomProfiles, MatchBitwiseShiftOr)
{
    const Profile &p = GetParam();
    std::mt19937_64 rng(std::hash<std::string>{}(p.name));
    for (int round = 0; round < 6; round++) {
        Values v = random_values(rng, p.n, p.lo, p.hi, p.g);
        // Odd and even totals (after the divisor) mirror differently.
        if (total_of(v) / p.g % 2 != uint64_t(round % 2))
            v.push_back(p.g);
        SCOPED_TRACE(testing::PrintToString(v));
        const Words want = bitwise_shift_or(v);
        for (int lists : kModes) {
            ListMode mode(lists);
            ASSERT_EQ(solve(v), want) << "sum list allowed: " << lists;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RandomProfiles,
    testing::Values(Profile{"dense_small", 300, 1, 200, 1},
                    Profile{"many_repeats", 2000, 1, 12, 1},
                    Profile{"with_zeros", 200, 0, 3, 1},
                    Profile{"sparse_large", 12, 1, 200000, 1},
                    Profile{"mid_density", 60, 1000, 30000, 1},
                    Profile{"clustered", 40, 20000, 20100, 1},
                    Profile{"divisor_2", 80, 1, 5000, 2},
                    Profile{"divisor_63", 30, 1, 500, 63},
                    Profile{"divisor_64", 30, 1, 500, 64},
                    Profile{"divisor_1000", 15, 1, 200, 1000}),
    [](const auto &info) { return std::string(info.param.name); });

// Sets made of long runs and gaps, over many 32768-bit blocks: the engine
// skips blocks it knows to be all ones or all zeros.
TEST(LargeTotals, RunsAndGapsMatchWordwiseShiftOr)
{
    std::mt19937_64 rng(11);
    const struct {
        size_t n;
        uint64_t lo, hi;
    } shapes[] = {
        {120, 300000, 303000}, // clusters that merge late
        {60, 1000000, 1000050},
        {40, 1, 2000000}, // dense middle, sparse ends
        {25, 100000, 4000000},
    };
    for (auto sh : shapes) {
        Values v = random_values(rng, sh.n, sh.lo, sh.hi);
        if (sh.lo > 1000) { // small items fill the clusters' gaps unevenly
            v.push_back(1);
            v.push_back(70);
            v.push_back(6000);
        }
        SCOPED_TRACE(testing::PrintToString(v));
        const Words want = wordwise_shift_or(v);
        for (int lists : kModes) {
            ListMode mode(lists);
            ASSERT_EQ(solve(v), want) << "sum list allowed: " << lists;
        }
    }
}

// Totals of 2**32 and more: the 32-bit reference cannot see them.
class HugeTotals : public testing::TestWithParam<Values> {};

TEST_P(HugeTotals, MatchIntervalOracle)
{
    const Runs want = interval_oracle(GetParam());
    for (int lists : kModes) {
        ListMode mode(lists);
        EXPECT_EQ(runs_of(solve(GetParam())), want) << "sum list allowed: " << lists;
    }
}

INSTANTIATE_TEST_SUITE_P(
    AtLeast2To32, HugeTotals,
    testing::Values(Values{uint64_t(1) << 32}, Values{uint64_t(1) << 32, 1},
                    Values{3ull << 30, 1ull << 30},  // divisor 2**30
                    Values{6, 9, 3ull * 1431655765}, // divisor 3
                    Values{(1ull << 32) + 1, 1, 2, 4, 8, 16, 32, 64, 128, 1000000},
                    Values{1ull << 31, (1ull << 31) + 7, 5, 5, 5, 123456789}));

// ---- buffer and failure contract ------------------------------------------

TEST(Contract, ShortCapacityFailsAndWritesNothing)
{
    for (size_t cap : {0, 1}) {
        Values v{100, 28}; // needs 3 words
        Words buf(4, kSentinel);
        size_t words = cap;
        char err[PEMU_ERR_BUF_SIZE] = "untouched";
        testing::internal::CaptureStdout();
        EXPECT_EQ(_fmss_solve(v.data(), v.size(), buf.data(), &words, err), -1);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(words, cap);
        EXPECT_EQ(buf, Words(4, kSentinel));
        EXPECT_EQ(std::string(err).rfind("[Local failure] ", 0), 0u) << err;
        EXPECT_EQ(out, "Failed with error: " + std::string(err) + "\n");
    }
}

TEST(Contract, TotalOverflowing64BitsFails)
{
    for (Values v : {Values{1ull << 63, 1ull << 63}, Values{~0ull, 1}, Values{5, ~0ull - 4}}) {
        Words buf(2, kSentinel);
        size_t words = buf.size();
        char err[PEMU_ERR_BUF_SIZE] = "";
        testing::internal::CaptureStdout();
        EXPECT_EQ(_fmss_solve(v.data(), v.size(), buf.data(), &words, err), -1);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::string(err).rfind("[Local failure] ", 0), 0u) << err;
        EXPECT_EQ(buf, Words(2, kSentinel));
    }
    Values fits{~0ull}; // the largest total is no overflow: only too big a result
    size_t words = 1;
    uint64_t word = kSentinel;
    char err[PEMU_ERR_BUF_SIZE] = "";
    testing::internal::CaptureStdout();
    EXPECT_EQ(_fmss_solve(fits.data(), 1, &word, &words, err), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string(err).find("buffer"), std::string::npos) << err;
}

TEST(Contract, PublicEntryIsTheEngineWithoutMessageBuffer)
{
    Values v{7, 9, 9, 30};
    Words buf(5, kSentinel);
    size_t words = buf.size();
    EXPECT_EQ(fmss_complete_subset_sum(v.data(), v.size(), buf.data(), &words), 0);
    EXPECT_EQ(words, 1u);
    EXPECT_EQ(Words(buf.begin(), buf.begin() + 1), brute_force(v));
    size_t too_few = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(fmss_complete_subset_sum(v.data(), v.size(), buf.data(), &too_few), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("[Local failure] "),
              std::string::npos);
}

// ---- kernels -------------------------------------------------------------

class Kernels : public testing::TestWithParam<const char *> {
  protected:
    void TearDown() override { _fmss_select_kernel(nullptr); }
};

TEST_P(Kernels, GiveTheSameBitsAsTheOracle)
{
    if (_fmss_select_kernel(GetParam()) != 0)
        GTEST_SKIP() << GetParam() << " does not run on this CPU";
    EXPECT_STREQ(_fmss_kernel_name(), GetParam());
    ListMode bits_only(0); // the kernels only run on bitsets
    std::mt19937_64 rng(7);
    for (int round = 0; round < 40; round++) {
        // Spans from under one word to many, so every tail length is hit.
        Values v = random_values(rng, 5 + rng() % 60, 1, 1 + rng() % 5000);
        SCOPED_TRACE(testing::PrintToString(v));
        ASSERT_EQ(solve(v), bitwise_shift_or(v));
    }
}

INSTANTIATE_TEST_SUITE_P(All, Kernels,
                         testing::Values("portable", "avx2", "avx512"),
                         [](const auto &info) { return std::string(info.param); });

TEST(KernelChoice, UnknownNameIsRefusedAndChangesNothing)
{
    const std::string before = _fmss_kernel_name();
    EXPECT_EQ(_fmss_select_kernel("sse9"), -1);
    EXPECT_EQ(_fmss_kernel_name(), before);
}

// ---- threads and sweeps ----------------------------------------------------

// Restores an environment variable when it goes out of scope.
struct EnvSetting {
    EnvSetting(const char *name, const char *value) : name(name)
    {
        if (const char *old = getenv(name))
            before = old, had = true;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~EnvSetting() { had ? setenv(name, before.c_str(), 1) : unsetenv(name); }
    const char *name;
    std::string before;
    bool had = false;
};

// A kernel and a thread count for the whole solve, and every region big
// enough to be shared, so that small problems cross slice and tile edges.
struct SolveSetup {
    SolveSetup(const char *kernel, int threads)
        : ok(_fmss_select_kernel(kernel) == 0),
          threads_before(_fmss_force_threads(threads)),
          min_before(_fmss_parallel_min(64))
    {
    }
    ~SolveSetup()
    {
        _fmss_select_kernel(nullptr);
        _fmss_force_threads(threads_before);
        _fmss_parallel_min(min_before);
    }
    bool ok;
    int threads_before;
    size_t min_before;
};

using KernelThreads = std::tuple<const char *, int>;

class Threads : public testing::TestWithParam<KernelThreads> {};

// 32 KiB tiles are 4096 words: values near 4096 * 64 bits put an item's
// lowest word, or the first word it reads, on either side of a tile edge.
constexpr uint64_t kTileBits = 4096 * 64;

TEST_P(Threads, AgreeWithTheOracleAcrossTilesAndSlices)
{
    const auto [kernel, threads] = GetParam();
    SolveSetup setup(kernel, threads);
    if (!setup.ok)
        GTEST_SKIP() << kernel << " does not run on this CPU";
    std::mt19937_64 rng(threads * 31 + kernel[1]);
    std::vector<Values> problems;
    for (int round = 0; round < 3; round++) {
        // Similar values: the set sweeps whole, several items at a time.
        problems.push_back(random_values(rng, 24, 40000, 80000));
        // Large values, few: stays a list, written out in slices.
        problems.push_back(random_values(rng, 9, 1, 3000000));
        // A common divisor spreads the solved bits afterwards.
        problems.push_back(random_values(rng, 16, 1000, 9000, 3));
    }
    for (int d : {-65, -64, -63, -1, 0, 1, 63, 64, 65}) {
        Values v = random_values(rng, 10, 1, 5000);
        for (uint64_t k : {1, 2, 3})
            v.push_back(k * kTileBits + uint64_t(int64_t(d) * (1 + rng() % 2)));
        problems.push_back(v);
    }
    // Two slices of 4096 words meet at bit E: sums and mirrors on both sides.
    const uint64_t E = kTileBits;
    for (Values v : {Values{E, E - 1}, Values{E + 1, E}, Values{E, E},
                     Values{3 * E, 3 * E - 3}, Values{E - 64, E + 64, 1}})
        problems.push_back(v);
    // Items of one sweep whose first source word ends the tile below.
    for (uint64_t j : {1, 2})
        for (uint64_t bs : {0, 1, 40, 63})
            problems.push_back({300, 700, 64 * (4096 * j - 1) + 40,
                                4096 * 64 * j + bs, 4096 * 64 * (j + 1) + bs});
    for (const Values &v : problems) {
        SCOPED_TRACE(testing::PrintToString(v));
        const Words want = wordwise_shift_or(v);
        for (int lists : kModes) {
            ListMode mode(lists);
            ASSERT_EQ(solve(v, 2), want) << "sum list allowed: " << lists;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryKernel, Threads,
    testing::Combine(testing::Values("portable", "avx2", "avx512"),
                     testing::Values(1, 2, 3)),
    [](const auto &info) {
        return std::string(std::get<0>(info.param)) + "_" +
               std::to_string(std::get<1>(info.param));
    });

TEST(Threads, SolvesRunningAtOnceStayApart)
{
    SolveSetup setup(nullptr, 2);
    std::vector<Values> problems;
    std::mt19937_64 rng(5);
    for (int i = 0; i < 6; i++)
        problems.push_back(random_values(rng, 20 + i, 30000, 70000));
    std::vector<Words> want, got(problems.size());
    for (const Values &v : problems)
        want.push_back(wordwise_shift_or(v));
    std::vector<std::thread> callers;
    for (size_t i = 0; i < problems.size(); i++)
        callers.emplace_back([&, i] {
            for (int rep = 0; rep < 3; rep++) {
                Words buf(size_t(total_of(problems[i]) >> 6) + 1, kSentinel);
                size_t words = buf.size();
                if (_fmss_solve(problems[i].data(), problems[i].size(),
                                buf.data(), &words, nullptr) != 0 ||
                    buf != want[i])
                    return; // leaves got[i] empty
            }
            got[i] = want[i];
        });
    for (auto &t : callers)
        t.join();
    for (size_t i = 0; i < problems.size(); i++)
        EXPECT_EQ(got[i], want[i]) << "caller " << i;
}

struct ThreadCountCase {
    const char *value;
    int cores, want;
};

class ThreadCount : public testing::TestWithParam<ThreadCountCase> {};

TEST_P(ThreadCount, LimitsTheCoresOrFallsBackToThem)
{
    const ThreadCountCase &c = GetParam();
    EXPECT_EQ(_fmss_thread_count(c.value, c.cores), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ThreadCount,
    testing::Values(ThreadCountCase{nullptr, 4, 4}, ThreadCountCase{"", 4, 4},
                    ThreadCountCase{"1", 4, 1}, ThreadCountCase{"3", 4, 3},
                    ThreadCountCase{"4", 4, 4}, ThreadCountCase{"9", 4, 4},
                    ThreadCountCase{"007", 8, 7}, ThreadCountCase{"0", 4, 4},
                    ThreadCountCase{"-2", 4, 4}, ThreadCountCase{"+2", 4, 4},
                    ThreadCountCase{" 2", 4, 4}, ThreadCountCase{"2 ", 4, 4},
                    ThreadCountCase{"2x", 4, 4}, ThreadCountCase{"two", 4, 4},
                    ThreadCountCase{"1.5", 4, 4},
                    ThreadCountCase{"99999999999999999999999", 4, 4},
                    ThreadCountCase{"2", 0, 1}, ThreadCountCase{nullptr, -3, 1},
                    ThreadCountCase{nullptr, 500, 64}, ThreadCountCase{"100", 500, 64}));

TEST(ThreadCount, EnvironmentIsReadAtEachSolve)
{
    // Both settings must give the same bits; a bad value must not fail.
    std::mt19937_64 rng(9);
    const Values v = random_values(rng, 24, 40000, 80000);
    const Words want = wordwise_shift_or(v);
    const size_t min_before = _fmss_parallel_min(64);
    for (const char *value : {"1", "2", "junk", "0"}) {
        EnvSetting env("PEMU_THREADS", value);
        EXPECT_EQ(solve(v), want) << "PEMU_THREADS=" << value;
    }
    _fmss_parallel_min(min_before);
}

TEST(KernelChoice, EnvironmentNamesTheKernelUnlessATestForcedOne)
{
    const std::string best = [] {
        EnvSetting none("PEMU_KERNEL", nullptr);
        return std::string(_fmss_kernel_name());
    }();
    const struct {
        const char *value, *want;
    } cases[] = {
        {"portable", "portable"},
        {"sse9", best.c_str()},
        {"", best.c_str()},
        {"PORTABLE", best.c_str()},
        {nullptr, best.c_str()},
    };
    for (auto c : cases) {
        EnvSetting env("PEMU_KERNEL", c.value);
        EXPECT_STREQ(_fmss_kernel_name(), c.want) << (c.value ? c.value : "unset");
    }
    EnvSetting env("PEMU_KERNEL", "portable");
    ASSERT_EQ(_fmss_select_kernel(best.c_str()), 0);
    EXPECT_EQ(_fmss_kernel_name(), best);
    _fmss_select_kernel(nullptr);
    EXPECT_STREQ(_fmss_kernel_name(), "portable");
}

// ---- hashed-difference helpers ---------------------------------------------

TEST(Fenwick, PrefixSumsWrapLikeA32BitCounter)
{
    const uint32_t T = 37;
    std::vector<uint32_t> tree(2 * T, 0), plain(2 * T, 0);
    std::mt19937 rng(3);
    for (int i = 0; i < 500; i++) {
        const uint32_t pos = rng() % (2 * T), delta = rng();
        update(tree.data(), T, pos, delta);
        plain[pos] += delta;
        const uint32_t n = rng() % (2 * T + 1);
        uint32_t want = 0;
        for (uint32_t k = 0; k < n; k++)
            want += plain[k];
        ASSERT_EQ(fmss_read(tree.data(), n), want) << "n=" << n;
    }
}

TEST(FindNewSums, ModulusOneHidesEveryDifference)
{
    // With modulus 1 both sides reduce to 0, so the search never descends.
    const uint32_t T = 8;
    std::vector<uint32_t> weights(2 * T + 1, 1), tree(2 * T, 0), origin(T, 0);
    add_new_sums(origin.data(), weights.data(), tree.data(), T, 0, 0);
    sized_ar_t *none = find_new_sums(origin.data(), tree.data(), weights.data(),
                                     T, 1, 0, T, 3);
    EXPECT_EQ(none[0], 0u);
    free(none);
}

TEST(SizedArrays, UnionOwnershipAndOrder)
{
    sized_ar_t *b = one_item_sized_ar(9);
    EXPECT_EQ(union_sized_ar(empty_sized_ar(), b), b); // a released, b returned
    sized_ar_t *a = union_sized_ar(one_item_sized_ar(4), one_item_sized_ar(6));
    EXPECT_EQ(union_sized_ar(a, empty_sized_ar()), a);
    sized_ar_t *u = union_sized_ar(a, b);
    EXPECT_EQ(std::vector<uint32_t>(u, u + 4), (std::vector<uint32_t>{3, 4, 6, 9}));
    free(u); // a and b went with the union; the sanitizer run checks the rest
}

TEST(SizedArrays, PrintFormat)
{
    const std::pair<sized_ar_t *, const char *> cases[] = {
        {empty_sized_ar(), "[]"},
        {one_item_sized_ar(7), "[7]"},
        {union_sized_ar(one_item_sized_ar(0), one_item_sized_ar(4294967295u)),
         "[0, 4294967295]"},
    };
    for (auto [arr, want] : cases) {
        testing::internal::CaptureStdout();
        print_sized_ar(arr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), want);
        free(arr);
    }
}

} // namespace

// ---- a watched solve ------------------------------------------------------

namespace {

struct Watched {
    std::vector<double> fractions;
    int cancel_calls = 0;
    int cancel_after = -1; // answer yes from this call on; -1: never
};

int watched_cancel(void *user)
{
    auto *w = static_cast<Watched *>(user);
    return w->cancel_after >= 0 && w->cancel_calls++ >= w->cancel_after;
}

void watched_progress(double fraction, void *user)
{
    static_cast<Watched *>(user)->fractions.push_back(fraction);
}

pemu_status_t solve_watched(const Values &v, Words &buf, Watched &w, char *err)
{
    const pemu_watch_t watch = {watched_cancel, &w, watched_progress, &w};
    buf.assign(size_t(total_of(v) >> 6) + 1, kSentinel);
    size_t words = buf.size();
    return _fmss_solve_watched(v.data(), v.size(), buf.data(), &words, err, &watch);
}

} // namespace

TEST(FmssWatch, SameResultAsUnwatchedAndProgressEndsAtOne)
{
    std::mt19937_64 rng(41);
    for (int mode : kModes) {
        ListMode m(mode);
        for (int round = 0; round < 40; round++) {
            Values v(rng() % 30);
            for (auto &x : v)
                x = rng() % (round % 2 ? 5000 : 70);
            Watched w;
            Words buf;
            ASSERT_EQ(solve_watched(v, buf, w, nullptr), 0);
            EXPECT_EQ(buf, solve(v)) << "round " << round;
            ASSERT_FALSE(w.fractions.empty());
            EXPECT_EQ(w.fractions.back(), 1.0);
            EXPECT_TRUE(std::is_sorted(w.fractions.begin(), w.fractions.end()));
            EXPECT_GE(w.fractions.front(), 0.0);
            // The first ask comes before any item, and then not before 100 ms.
            EXPECT_LE(w.fractions.size(), 5u);
        }
    }
}

TEST(FmssWatch, CancelEndsTheSolveFailed)
{
    Watched w;
    w.cancel_after = 0;
    Words buf;
    char err[PEMU_ERR_BUF_SIZE] = {0};
    EXPECT_EQ(solve_watched({3, 5, 7, 1000}, buf, w, err), -1);
    EXPECT_STREQ(err, "[Local failure] cancelled");
    EXPECT_EQ(w.cancel_calls, 1);
    for (double f : w.fractions)
        EXPECT_LT(f, 1.0) << "a cancelled solve never reports its end";
}

TEST(FmssWatch, NullWatchAndEmptyMembersSolveAsUnwatched)
{
    const Values v = {3, 5, 5, 5, 1 << 20};
    Words buf(size_t(total_of(v) >> 6) + 1);
    size_t words = buf.size();
    ASSERT_EQ(_fmss_solve_watched(v.data(), v.size(), buf.data(), &words, nullptr, nullptr), 0);
    EXPECT_EQ(buf, solve(v));
    const pemu_watch_t empty = {nullptr, nullptr, nullptr, nullptr};
    ASSERT_EQ(_fmss_solve_watched(v.data(), v.size(), buf.data(), &words, nullptr, &empty), 0);
    EXPECT_EQ(buf, solve(v));
}

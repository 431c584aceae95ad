// Which values make a total: one subset and every subset, against brute
// force over all subsets, and against the bitset solver where brute force
// cannot go.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "pemu_internal.h"
#include "subset.h"
#include "support.h"

namespace {

using pemu::wide_int;
using Indices = std::vector<size_t>;

// A problem in signed values, as the engine takes it.
struct Problem {
    std::vector<uint64_t> mag;
    std::vector<uint8_t> neg;
    explicit Problem(const std::vector<long long> &v)
    {
        for (long long x : v) {
            mag.push_back(uint64_t(x < 0 ? -x : x));
            neg.push_back(x < 0);
        }
    }
    wide_int value(size_t i) const { return neg[i] ? -wide_int(mag[i]) : wide_int(mag[i]); }
    wide_int sum_of(const Indices &idx) const
    {
        wide_int s = 0;
        for (size_t i : idx)
            s += value(i);
        return s;
    }
};

// Every subset of the values by its sum, each as ascending indices.
std::map<long long, std::set<Indices>> brute_force(const Problem &p)
{
    std::map<long long, std::set<Indices>> by_sum;
    const size_t n = p.mag.size();
    for (uint64_t m = 0; m < (uint64_t(1) << n); m++) {
        Indices idx;
        for (size_t i = 0; i < n; i++)
            if (m >> i & 1)
                idx.push_back(i);
        by_sum[(long long)p.sum_of(idx)].insert(idx);
    }
    return by_sum;
}

void expect_answer(const Problem &p, wide_int total, const Indices &idx)
{
    EXPECT_TRUE(std::is_sorted(idx.begin(), idx.end()));
    EXPECT_EQ(std::adjacent_find(idx.begin(), idx.end()), idx.end());
    for (size_t i : idx)
        ASSERT_LT(i, p.mag.size());
    EXPECT_TRUE(p.sum_of(idx) == total) << "answer misses the total";
}

std::vector<long long> random_values(std::mt19937_64 &rng, size_t n, long long lo,
                                     long long hi)
{
    std::uniform_int_distribution<long long> d(lo, hi);
    std::vector<long long> v(n);
    for (auto &x : v)
        x = d(rng);
    return v;
}

// Small problems of every kind, each total from below the lowest sum to
// above the highest.
std::vector<std::vector<long long>> small_problems()
{
    std::vector<std::vector<long long>> out = {
        {},
        {0},
        {0, 0, 0},
        {5},
        {-5},
        {3, 5, 7, 11},
        {2, 2, 2, 2, 2},
        {0, 4, 0, 4, 9},
        {-3, 3, -3, 3},
        {-1, -2, -4, -8},
        {7, -7, 0, 1, -1, 100},
        {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    };
    std::mt19937_64 rng(20);
    for (int k = 0; k < 30; k++) {
        const size_t n = 1 + rng() % 12;
        const long long span = k % 3 == 0 ? 3 : k % 3 == 1 ? 50
                                                           : 100000;
        out.push_back(random_values(rng, n, k % 2 ? -span : 0, span));
    }
    return out;
}

TEST(SubsetWithSum, MatchesBruteForceOnEveryTotal)
{
    for (const auto &values : small_problems()) {
        const Problem p(values);
        const auto oracle = brute_force(p);
        long long lo = 0, hi = 0;
        for (long long x : values)
            (x < 0 ? lo : hi) += x;
        std::set<long long> totals;
        for (long long t = lo - 2; t <= hi + 2 && totals.size() < 400; t++)
            totals.insert(t);
        for (const auto &[t, subsets] : oracle)
            totals.insert(t);
        for (long long t : totals) {
            Indices idx{99};
            bool found = true;
            ASSERT_EQ(pemu::subset_with_sum(p.mag.data(), p.neg.data(), p.mag.size(),
                                            t, idx, &found, nullptr),
                      0);
            EXPECT_EQ(found, oracle.count(t) == 1) << "total " << t;
            if (found)
                expect_answer(p, t, idx);
            else
                EXPECT_TRUE(idx.empty());
        }
    }
}

TEST(SubsetWithSum, TotalsFarBeyondAnySum)
{
    const Problem p({1, -2, 3});
    for (wide_int t : {wide_int(1) << 64, -(wide_int(1) << 64), wide_int(1) << 100,
                       wide_int(UINT64_MAX), -wide_int(UINT64_MAX)}) {
        Indices idx;
        bool found = true;
        ASSERT_EQ(pemu::subset_with_sum(p.mag.data(), p.neg.data(), 3, t, idx, &found,
                                        nullptr),
                  0);
        EXPECT_FALSE(found);
    }
    // Magnitudes reaching 2**64 - 1 exactly, the negative one included.
    const std::vector<uint64_t> mag = {UINT64_MAX - 1, 1};
    const std::vector<uint8_t> neg = {0, 1};
    Indices idx;
    bool found = false;
    ASSERT_EQ(pemu::subset_with_sum(mag.data(), neg.data(), 2, wide_int(UINT64_MAX - 2),
                                    idx, &found, nullptr),
              0);
    EXPECT_TRUE(found);
    EXPECT_EQ(idx, (Indices{0, 1}));
}

TEST(SubsetWithSum, RefusesMagnitudesPast64Bits)
{
    const std::vector<uint64_t> mag = {uint64_t(1) << 63, uint64_t(1) << 63};
    const std::vector<uint8_t> neg = {0, 1};
    char err[PEMU_ERR_BUF_SIZE] = {0};
    Indices idx;
    bool found = true;
    EXPECT_EQ(pemu::subset_with_sum(mag.data(), neg.data(), 2, 0, idx, &found, err), -1);
    EXPECT_FALSE(found);
    EXPECT_NE(std::string(err).find("2**64"), std::string::npos) << err;
}

// Problems large enough that the search splits them over the bitset solver:
// which totals are reached comes from a complete solve of the same values.
TEST(SubsetWithSum, SplitSearchAgreesWithTheBitsetSolver)
{
    std::mt19937_64 rng(7);
    struct Case {
        size_t n;
        long long hi, step;
    };
    for (const Case c : {Case{300, 3000, 3}, Case{120, 200000, 2}, Case{2000, 60, 1},
                         Case{60, 400000, 5}}) {
        std::vector<long long> values = random_values(rng, c.n, 0, c.hi);
        for (auto &x : values)
            x *= c.step; // totals off the step are never reached
        values[3] = 0;
        values[5] = values[4]; // a zero and a repeat
        const Problem p(values);
        uint64_t all = 0;
        for (uint64_t m : p.mag)
            all += m;
        std::vector<uint64_t> set(pemu::words_for_total(all));
        size_t words = set.size();
        ASSERT_EQ(_fmss_solve(p.mag.data(), p.mag.size(), set.data(), &words, nullptr), 0);
        std::vector<uint64_t> totals = {0, 1, 2, 3, all, all - 1, all - 2, all - 3,
                                        all / 2, all / 2 + 1};
        for (int k = 0; k < 60; k++)
            totals.push_back(rng() % (all + 1));
        for (uint64_t t : totals) {
            Indices idx;
            bool found = false;
            ASSERT_EQ(pemu::subset_with_sum(p.mag.data(), p.neg.data(), p.mag.size(), t,
                                            idx, &found, nullptr),
                      0);
            EXPECT_EQ(found, bool((set[t >> 6] >> (t & 63)) & 1))
                << "n " << c.n << " total " << t;
            if (found)
                expect_answer(p, t, idx);
        }
    }
}

// Negatives shift the problem: every sum of a mixed list, found by the split
// search too.
TEST(SubsetWithSum, MixedSignsOnTheSplitPath)
{
    std::mt19937_64 rng(11);
    std::vector<long long> values = random_values(rng, 400, -5000, 5000);
    const Problem p(values);
    for (int k = 0; k < 40; k++) {
        // A total some subset makes, and one beyond every subset.
        Indices pick;
        for (size_t i = 0; i < values.size(); i++)
            if (rng() & 1)
                pick.push_back(i);
        const wide_int t = p.sum_of(pick);
        Indices idx;
        bool found = false;
        ASSERT_EQ(pemu::subset_with_sum(p.mag.data(), p.neg.data(), p.mag.size(), t,
                                        idx, &found, nullptr),
                  0);
        ASSERT_TRUE(found);
        expect_answer(p, t, idx);
    }
    long long hi = 0;
    for (long long x : values)
        hi += x > 0 ? x : 0;
    Indices idx;
    bool found = true;
    ASSERT_EQ(pemu::subset_with_sum(p.mag.data(), p.neg.data(), p.mag.size(), hi + 1,
                                    idx, &found, nullptr),
              0);
    EXPECT_FALSE(found);
}

struct WatchLog {
    std::vector<double> fractions;
    int asked = 0, stop_after = -1;
};

/* A watch that records progress in log and says stop once asked more than
 * log.stop_after times (never while it is negative). */
pemu_watch_t logging_watch(WatchLog &log)
{
    pemu_watch_t watch{};
    watch.cancel = [](void *u) {
        auto *l = static_cast<WatchLog *>(u);
        return int(l->stop_after >= 0 && ++l->asked > l->stop_after);
    };
    watch.cancel_user = &log;
    watch.progress = [](double f, void *u) { static_cast<WatchLog *>(u)->fractions.push_back(f); };
    watch.progress_user = &log;
    return watch;
}

TEST(SubsetWithSum, ProgressGrowsToOneAndCancelStops)
{
    std::mt19937_64 rng(3);
    const Problem p(random_values(rng, 1000, 1, 5000));
    uint64_t all = 0;
    for (uint64_t m : p.mag)
        all += m;
    WatchLog log;
    const pemu_watch_t watch = logging_watch(log);
    Indices idx;
    bool found = false;
    ASSERT_EQ(pemu::subset_with_sum(p.mag.data(), nullptr, p.mag.size(), all / 3, idx,
                                    &found, nullptr, &watch),
              0);
    ASSERT_TRUE(found);
    ASSERT_GE(log.fractions.size(), 2u);
    EXPECT_TRUE(std::is_sorted(log.fractions.begin(), log.fractions.end()));
    EXPECT_EQ(log.fractions.back(), 1.0);
    EXPECT_GE(log.fractions.front(), 0.0);

    log = WatchLog{};
    log.stop_after = 0; // asked at once, then about every 20 ms
    char err[PEMU_ERR_BUF_SIZE] = {0};
    EXPECT_EQ(pemu::subset_with_sum(p.mag.data(), nullptr, p.mag.size(), all / 3, idx,
                                    &found, err, &watch),
              -1);
    EXPECT_FALSE(found);
    EXPECT_STREQ(err, "[Local failure] cancelled");
}

// ---- every subset ----------------------------------------------------------

std::vector<Indices> enumerate_all(const Problem &p, wide_int total,
                                   uint64_t budget = UINT64_MAX)
{
    std::unique_ptr<pemu::subset_enumerator> e;
    EXPECT_EQ(pemu::subset_enumerator::create(p.mag.data(), p.neg.data(), p.mag.size(),
                                              total, budget, &e, nullptr),
              pemu::subset_enumerator::made::ok);
    std::vector<Indices> out;
    if (!e)
        return out;
    EXPECT_EQ(e->table_bytes(),
              pemu::enumeration_table_bytes(p.mag.data(), p.neg.data(), p.mag.size(), total));
    Indices idx;
    while (e->next(idx))
        out.push_back(idx);
    EXPECT_FALSE(e->next(idx)) << "an ended walk stays ended";
    return out;
}

TEST(SubsetEnumerator, EverySubsetExactlyOnce)
{
    for (const auto &values : small_problems()) {
        if (values.size() > 10)
            continue; // keeps the run short; 2**10 subsets per total at most
        const Problem p(values);
        const auto oracle = brute_force(p);
        long long lo = 0, hi = 0;
        for (long long x : values)
            (x < 0 ? lo : hi) += x;
        std::set<long long> totals = {lo - 1, hi + 1, 0, lo, hi};
        for (const auto &[t, subsets] : oracle)
            totals.insert(t);
        for (long long t : totals) {
            const auto got = enumerate_all(p, t);
            const std::set<Indices> unique(got.begin(), got.end());
            EXPECT_EQ(unique.size(), got.size()) << "a subset came twice, total " << t;
            const auto it = oracle.find(t);
            EXPECT_EQ(unique, it == oracle.end() ? std::set<Indices>{} : it->second)
                << "total " << t << ", " << values.size() << " values";
        }
    }
}

TEST(SubsetEnumerator, ManyAnswersEachSummingToTheTotal)
{
    // 2**16 subsets of sixteen 1s and four zeros make 8: C(16, 8) * 2**4.
    std::vector<long long> values(16, 1);
    values.insert(values.begin() + 5, {0, 0});
    values.insert(values.end(), {0, 0});
    const Problem p(values);
    const auto got = enumerate_all(p, 8);
    EXPECT_EQ(got.size(), size_t(12870) * 16);
    const std::set<Indices> unique(got.begin(), got.end());
    EXPECT_EQ(unique.size(), got.size());
    for (const auto &idx : got)
        ASSERT_TRUE(p.sum_of(idx) == 8);
}

TEST(SubsetEnumerator, LargeUnreachableTotalEndsAtOnce)
{
    std::mt19937_64 rng(5);
    std::vector<long long> values = random_values(rng, 500, 1, 1000);
    for (auto &x : values)
        x *= 2;
    const Problem p(values);
    EXPECT_TRUE(enumerate_all(p, 100001).empty());
    const auto some = enumerate_all(p, 0);
    EXPECT_EQ(some, (std::vector<Indices>{Indices{}}));
}

TEST(SubsetEnumerator, CancelStopsTheMakingOfTheTables)
{
    std::mt19937_64 rng(4);
    const Problem p(random_values(rng, 300, 1, 5000));
    WatchLog log;
    const pemu_watch_t watch = logging_watch(log);
    std::unique_ptr<pemu::subset_enumerator> e;
    char err[PEMU_ERR_BUF_SIZE] = {0};
    log.stop_after = 0; // asked at once
    EXPECT_EQ(pemu::subset_enumerator::create(p.mag.data(), p.neg.data(), p.mag.size(),
                                              300000, UINT64_MAX, &e, err, &watch),
              pemu::subset_enumerator::made::failed);
    EXPECT_EQ(e, nullptr);
    EXPECT_STREQ(err, "[Local failure] cancelled");
    log = WatchLog{};
    ASSERT_EQ(pemu::subset_enumerator::create(p.mag.data(), p.neg.data(), p.mag.size(),
                                              300000, UINT64_MAX, &e, err, &watch),
              pemu::subset_enumerator::made::ok);
    Indices idx;
    ASSERT_TRUE(e->next(idx));
    EXPECT_TRUE(p.sum_of(idx) == 300000);
}

TEST(SubsetEnumerator, RefusesTablesOverTheBudgetBeforeAnyWork)
{
    std::mt19937_64 rng(9);
    const Problem p(random_values(rng, 200, -100000, 100000));
    const uint64_t need =
        pemu::enumeration_table_bytes(p.mag.data(), p.neg.data(), p.mag.size(), 12345);
    ASSERT_GT(need, 0u);
    std::unique_ptr<pemu::subset_enumerator> e;
    char err[PEMU_ERR_BUF_SIZE] = {0};
    EXPECT_EQ(pemu::subset_enumerator::create(p.mag.data(), p.neg.data(), p.mag.size(),
                                              12345, need - 1, &e, err),
              pemu::subset_enumerator::made::too_big);
    EXPECT_EQ(e, nullptr);
    EXPECT_NE(std::string(err).find(std::to_string(need) + " bytes"), std::string::npos)
        << err;
    EXPECT_NE(std::string(err).find("PEMU_MAX_MEMORY"), std::string::npos) << err;
    ASSERT_EQ(pemu::subset_enumerator::create(p.mag.data(), p.neg.data(), p.mag.size(),
                                              12345, need, &e, err),
              pemu::subset_enumerator::made::ok);
    Indices idx;
    ASSERT_TRUE(e->next(idx));
    EXPECT_TRUE(p.sum_of(idx) == 12345);
    // The tables stay within n bits for each remainder of the shorter side.
    uint64_t all = 0;
    for (uint64_t m : p.mag)
        all += m;
    uint64_t negs = 0;
    for (size_t i = 0; i < p.mag.size(); i++)
        negs += p.neg[i] ? p.mag[i] : 0;
    const uint64_t t = 12345 + negs, side = std::min(t, all - t);
    EXPECT_LE(need, p.mag.size() * ((side >> 6) + 2) * 8);
}

TEST(SubsetEnumerator, BudgetFromTheEnvironment)
{
    pemu_test::EnvGuard guard({"PEMU_MAX_MEMORY"});
    unsetenv("PEMU_MAX_MEMORY");
    const uint64_t fallback = pemu::max_memory_budget();
    EXPECT_GT(fallback, uint64_t(1) << 20);
    setenv("PEMU_MAX_MEMORY", "123456789", 1);
    EXPECT_EQ(pemu::max_memory_budget(), 123456789u);
    for (const char *bad : {"", "0", "12k", "-5", " 7", "99999999999999999999999"}) {
        setenv("PEMU_MAX_MEMORY", bad, 1);
        EXPECT_EQ(pemu::max_memory_budget(), fallback) << "'" << bad << "'";
    }
}

} // namespace

// The arithmetic behind the benchmarks' figures: nearest-rank median and p99, a round of
// client processes folded into one line, and CPU time read from /proc/PID/stat.
#include "bench/common/BenchStats.h"
#include "bench/system/SystemFigures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using tulvo_bench::CombineRuns;
using tulvo_bench::ProcStatCpuTicks;
using tulvo_bench::SClientRun;
using tulvo_bench::SRoundFigures;
using tulvo_bench::SSummary;
using tulvo_bench::Summarise;

namespace {

SClientRun ClientRun(long long i_ll_Ok, double i_d_Median, double i_d_P99,
                     long long i_ll_Failed = 0, long long i_ll_Corrupt = 0) {
    SClientRun l_x_Run;
    l_x_Run.m_b_Done = true;
    l_x_Run.m_ll_Ok = i_ll_Ok;
    l_x_Run.m_ll_Failed = i_ll_Failed;
    l_x_Run.m_ll_Corrupt = i_ll_Corrupt;
    l_x_Run.m_d_MedianUs = i_d_Median;
    l_x_Run.m_d_P99Us = i_d_P99;
    return l_x_Run;
}

// A stat line as Linux writes it, with that command name and utime/stime.
std::string StatLine(const std::string& i_x_Comm, int i_i_User, int i_i_System) {
    return "4321 (" + i_x_Comm + ") S 1 4321 4321 0 -1 4194560 1000 0 0 0 " +
           std::to_string(i_i_User) + " " + std::to_string(i_i_System) +
           " 0 0 20 0 1 0 123456 8888 99 18446744073709551615\n";
}

} // namespace

TEST(BenchFigures, SummariseTakesNearestRanksOfUnsortedSamples) {
    std::vector<double> l_ad_Samples;
    for (int l_i = 1; l_i <= 200; ++l_i) {
        l_ad_Samples.push_back(l_i);
    }
    std::shuffle(l_ad_Samples.begin(), l_ad_Samples.end(), std::mt19937(7));
    const SSummary l_x_Many = Summarise(l_ad_Samples);
    EXPECT_EQ(101, l_x_Many.m_d_Median);
    EXPECT_EQ(199, l_x_Many.m_d_P99);
    EXPECT_EQ(1, l_x_Many.m_d_Min);
    EXPECT_EQ(200, l_x_Many.m_d_Max);
    EXPECT_EQ(200u, l_x_Many.m_st_Count);

    // Fewer than a hundred samples: the p99 is the largest, not past the end.
    const SSummary l_x_Few = Summarise({5, 1, 9, 3, 7});
    EXPECT_EQ(5, l_x_Few.m_d_Median);
    EXPECT_EQ(9, l_x_Few.m_d_P99);

    const SSummary l_x_One = Summarise({42});
    EXPECT_EQ(42, l_x_One.m_d_Median);
    EXPECT_EQ(42, l_x_One.m_d_P99);

    const SSummary l_x_None = Summarise({});
    EXPECT_EQ(0u, l_x_None.m_st_Count);
    EXPECT_EQ(0, l_x_None.m_d_P99);
}

TEST(BenchFigures, ARoundOfClientsAddsExchangesAndKeepsTheWorstP99) {
    const SRoundFigures l_x_Round = CombineRuns(
        {ClientRun(300, 9000, 15000), ClientRun(100, 30000, 90000), ClientRun(200, 12000, 20000)},
        20);
    EXPECT_DOUBLE_EQ(30.0, l_x_Round.m_d_PerSecond);
    EXPECT_EQ(12000, l_x_Round.m_d_MedianUs);
    EXPECT_EQ(90000, l_x_Round.m_d_P99Us);
    EXPECT_EQ(600, l_x_Round.m_ll_Ok);
    EXPECT_TRUE(l_x_Round.Ok());
}

TEST(BenchFigures, ARoundWithAClientMissingStarvedOrFailingIsNotGood) {
    // No result: counted, and its zero figures pull neither the median nor the p99.
    const SRoundFigures l_x_Missing = CombineRuns({ClientRun(100, 5000, 8000), SClientRun()}, 10);
    EXPECT_EQ(1, l_x_Missing.m_i_Missing);
    EXPECT_EQ(5000, l_x_Missing.m_d_MedianUs);
    EXPECT_DOUBLE_EQ(10.0, l_x_Missing.m_d_PerSecond);
    EXPECT_FALSE(l_x_Missing.Ok());

    // Connected but never served: a client the others starved, not a fast one.
    const SRoundFigures l_x_Starved = CombineRuns(
        {ClientRun(100, 5000, 8000), ClientRun(100, 7000, 9000), ClientRun(0, 0, 0, 3)}, 10);
    EXPECT_EQ(1, l_x_Starved.m_i_Starved);
    EXPECT_EQ(7000, l_x_Starved.m_d_MedianUs);
    EXPECT_EQ(3, l_x_Starved.m_ll_Failed);
    EXPECT_FALSE(l_x_Starved.Ok());

    EXPECT_FALSE(CombineRuns({ClientRun(100, 5000, 8000, 1)}, 10).Ok());
    EXPECT_FALSE(CombineRuns({ClientRun(100, 5000, 8000, 0, 1)}, 10).Ok());
    EXPECT_EQ(0, CombineRuns({ClientRun(100, 5000, 8000)}, 0).m_d_PerSecond);
}

TEST(BenchFigures, ProcStatGivesUserPlusSystemTicksWhateverTheCommandName) {
    EXPECT_EQ(370, ProcStatCpuTicks(StatLine("wineserver", 250, 120)));
    // The command name may hold spaces, parentheses and numbers of its own.
    EXPECT_EQ(17, ProcStatCpuTicks(StatLine("a) 1 2 (b", 10, 7)));
    EXPECT_EQ(0, ProcStatCpuTicks(StatLine("x", 0, 0)));

    EXPECT_EQ(-1, ProcStatCpuTicks(""));
    EXPECT_EQ(-1, ProcStatCpuTicks("4321 wineserver S 1 2 3"));
    // Cut short before stime.
    EXPECT_EQ(-1, ProcStatCpuTicks("4321 (w) S 1 4321 4321 0 -1 4194560 1000 0 0 0 250\n"));
    EXPECT_EQ(-1, ProcStatCpuTicks("4321 (w) S 1 4321 4321 0 -1 4194560 1000 0 0 0 25x 120 0\n"));

    // The parent (field 4) and the name, by which the service's process is found.
    EXPECT_EQ(1, tulvo_bench::ProcStatField(StatLine("a) 7 (b", 1, 2), 4));
    EXPECT_EQ("a) 7 (b", tulvo_bench::ProcStatName(StatLine("a) 7 (b", 1, 2)));
    EXPECT_EQ(-1, tulvo_bench::ProcStatField(StatLine("x", 1, 2), 3));
    EXPECT_EQ(-1, tulvo_bench::ProcStatField(StatLine("x", 1, 2), 99));
    EXPECT_EQ("", tulvo_bench::ProcStatName("4321 x) S ("));
}

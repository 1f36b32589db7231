// What every benchmark of the project shares: a microsecond clock, the median and p99 of a
// series of samples (nearest rank, the same definition in every table), and the one summary
// line per figure that bench/run-all.sh collects:
//     BENCH <key> <name>=<value> <name>=<value> ...
// Keys are dotted ("transport.16B"); names carry their unit ("median_us", "mbps", "calls").
// The prose each benchmark prints around these lines is for people; the lines are for the
// script. Plain C++: the host tree's benchmarks use it as well as the Windows tree's.
#ifndef TULVO_BENCH_COMMON_BENCHSTATS_H
#define TULVO_BENCH_COMMON_BENCHSTATS_H

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <stddef.h>
#include <stdio.h>
#include <utility>
#include <vector>

namespace tulvo_bench {

// Microseconds on a steady clock (QueryPerformanceCounter under MinGW).
inline double NowUs() {
    return std::chrono::duration<double, std::micro>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct SSummary {
    double m_d_Median = 0;
    double m_d_P99 = 0;
    double m_d_Min = 0;
    double m_d_Max = 0;
    size_t m_st_Count = 0;
};

// Median and p99 by nearest rank (sorted[n/2], sorted[min(n-1, n*99/100)]); all zero for no
// samples.
inline SSummary Summarise(std::vector<double> i_ad_Samples) {
    SSummary l_x_Summary;
    if (i_ad_Samples.empty()) {
        return l_x_Summary;
    }
    std::sort(i_ad_Samples.begin(), i_ad_Samples.end());
    const size_t l_st_Count = i_ad_Samples.size();
    l_x_Summary.m_d_Median = i_ad_Samples[l_st_Count / 2];
    l_x_Summary.m_d_P99 = i_ad_Samples[std::min(l_st_Count - 1, l_st_Count * 99 / 100)];
    l_x_Summary.m_d_Min = i_ad_Samples.front();
    l_x_Summary.m_d_Max = i_ad_Samples.back();
    l_x_Summary.m_st_Count = l_st_Count;
    return l_x_Summary;
}

typedef std::pair<const char*, double> BenchField;

// One summary line, flushed at once so that a benchmark that fails later keeps what it had.
inline void PrintBenchLine(const char* i_pc_Key, std::initializer_list<BenchField> i_ax_Fields) {
    printf("BENCH %s", i_pc_Key);
    for (const BenchField& l_x_Field : i_ax_Fields) {
        printf(" %s=%.6g", l_x_Field.first, l_x_Field.second);
    }
    printf("\n");
    fflush(stdout);
}

// The usual line of a timed series: its median, p99 and size, and any further fields.
inline void PrintSeriesLine(const char* i_pc_Key, const SSummary& i_x_Summary,
                            std::initializer_list<BenchField> i_ax_More = {}) {
    printf("BENCH %s median_us=%.6g p99_us=%.6g n=%zu", i_pc_Key, i_x_Summary.m_d_Median,
           i_x_Summary.m_d_P99, i_x_Summary.m_st_Count);
    for (const BenchField& l_x_Field : i_ax_More) {
        printf(" %s=%.6g", l_x_Field.first, l_x_Field.second);
    }
    printf("\n");
    fflush(stdout);
}

} // namespace tulvo_bench

#endif

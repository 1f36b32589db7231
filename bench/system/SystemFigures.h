// The system benchmark's arithmetic, apart from the processes it drives, so that the host
// tree can check it: a round of client processes folded into one line of figures, and the CPU
// time a Linux process has used, read from the text of its /proc/PID/stat.
#ifndef TULVO_BENCH_SYSTEM_SYSTEMFIGURES_H
#define TULVO_BENCH_SYSTEM_SYSTEMFIGURES_H

#include "bench/common/BenchStats.h"

#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace tulvo_bench {

// What one client's "run" result said; m_b_Done false when none came.
struct SClientRun {
    bool m_b_Done = false;
    long long m_ll_Ok = 0;
    long long m_ll_Failed = 0;
    long long m_ll_Corrupt = 0;
    double m_d_MedianUs = 0;
    double m_d_P99Us = 0;
};

struct SRoundFigures {
    double m_d_PerSecond = 0;
    // The clients' own medians, their median; the worst client's p99, which no pooled p99 of
    // the same samples exceeds.
    double m_d_MedianUs = 0;
    double m_d_P99Us = 0;
    long long m_ll_Ok = 0;
    long long m_ll_Failed = 0;
    long long m_ll_Corrupt = 0;
    // Clients that gave no result, and clients that got no exchange through at all.
    int m_i_Missing = 0;
    int m_i_Starved = 0;

    bool Ok() const {
        return m_ll_Failed == 0 && m_ll_Corrupt == 0 && m_i_Missing == 0 && m_i_Starved == 0;
    }
};

inline SRoundFigures CombineRuns(const std::vector<SClientRun>& i_ax_Runs, double i_d_Seconds) {
    SRoundFigures l_x_Round;
    std::vector<double> l_ad_Medians;
    for (const SClientRun& l_x_Run : i_ax_Runs) {
        if (!l_x_Run.m_b_Done) {
            ++l_x_Round.m_i_Missing;
            continue;
        }
        l_x_Round.m_ll_Ok += l_x_Run.m_ll_Ok;
        l_x_Round.m_ll_Failed += l_x_Run.m_ll_Failed;
        l_x_Round.m_ll_Corrupt += l_x_Run.m_ll_Corrupt;
        if (l_x_Run.m_ll_Ok == 0) {
            // Its median and p99 are those of no sample.
            ++l_x_Round.m_i_Starved;
            continue;
        }
        l_ad_Medians.push_back(l_x_Run.m_d_MedianUs);
        l_x_Round.m_d_P99Us = std::max(l_x_Round.m_d_P99Us, l_x_Run.m_d_P99Us);
    }
    l_x_Round.m_d_MedianUs = Summarise(l_ad_Medians).m_d_Median;
    l_x_Round.m_d_PerSecond =
        i_d_Seconds > 0 ? static_cast<double>(l_x_Round.m_ll_Ok) / i_d_Seconds : 0;
    return l_x_Round;
}

// Numeric field i_i_Field (3 and on: state, ppid, ...) of the text of /proc/PID/stat, or -1.
// The command name, field 2, is in parentheses and may hold spaces and parentheses of its own:
// the fields are counted from the last closing one. Field 3, the state, is a letter: -1.
inline long long ProcStatField(const std::string& i_x_Stat, int i_i_Field) {
    const size_t l_st_Close = i_x_Stat.rfind(')');
    if (l_st_Close == std::string::npos || i_i_Field < 3) {
        return -1;
    }
    const char* l_pc_At = i_x_Stat.c_str() + l_st_Close + 1;
    for (int l_i_Field = 3; l_i_Field <= i_i_Field; ++l_i_Field) {
        while (*l_pc_At == ' ') {
            ++l_pc_At;
        }
        if (*l_pc_At == '\0' || *l_pc_At == '\n') {
            return -1;
        }
        const char* l_pc_End = l_pc_At + strcspn(l_pc_At, " \n");
        if (l_i_Field == i_i_Field) {
            char* l_pc_Parsed = nullptr;
            const long long l_ll_Value = strtoll(l_pc_At, &l_pc_Parsed, 10);
            return l_pc_Parsed != l_pc_End || l_ll_Value < 0 ? -1 : l_ll_Value;
        }
        l_pc_At = l_pc_End;
    }
    return -1;
}

// The command name (field 2, without its parentheses), or "" when the text has none.
inline std::string ProcStatName(const std::string& i_x_Stat) {
    const size_t l_st_Open = i_x_Stat.find('(');
    const size_t l_st_Close = i_x_Stat.rfind(')');
    return l_st_Open == std::string::npos || l_st_Close == std::string::npos ||
                   l_st_Close < l_st_Open
               ? ""
               : i_x_Stat.substr(l_st_Open + 1, l_st_Close - l_st_Open - 1);
}

// User plus system time in clock ticks (fields 14 and 15), or -1.
inline long long ProcStatCpuTicks(const std::string& i_x_Stat) {
    const long long l_ll_User = ProcStatField(i_x_Stat, 14);
    const long long l_ll_System = ProcStatField(i_x_Stat, 15);
    return l_ll_User < 0 || l_ll_System < 0 ? -1 : l_ll_User + l_ll_System;
}

} // namespace tulvo_bench

#endif

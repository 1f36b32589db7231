// tulvo_procstat run on this test process from outside, as the soak runs it on the service:
// each figure must follow what the test does to the process, so a figure read from the wrong
// field, the wrong process or the wrong unit shows.
#include "tests/common/ChildProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

namespace {

struct SFigures {
    unsigned long m_ul_Pid = 0;
    unsigned long m_ul_Handles = 0;
    unsigned long m_ul_Threads = 0;
    unsigned long long m_ull_Private = 0;
};

SFigures Sample(const std::string& i_x_Target = std::to_string(GetCurrentProcessId())) {
    tulvo_test::CChildProcess l_x_Tool;
    SFigures l_x_Figures;
    EXPECT_TRUE(l_x_Tool.Start(
        "\"" + tulvo_test::BinDirectory() + "tulvo_procstat.exe\" " + i_x_Target, ""));
    EXPECT_TRUE(l_x_Tool.WaitForExit(60000));
    const std::string l_x_Line = l_x_Tool.Output();
    EXPECT_EQ(4, sscanf(l_x_Line.c_str(), "pid=%lu handles=%lu threads=%lu private=%llu",
                        &l_x_Figures.m_ul_Pid, &l_x_Figures.m_ul_Handles, &l_x_Figures.m_ul_Threads,
                        &l_x_Figures.m_ull_Private))
        << l_x_Line;
    return l_x_Figures;
}

TEST(ProcStat, FiguresFollowTheHandlesThreadsAndMemoryOfAnotherProcess) {
    const SFigures l_x_Before = Sample();
    EXPECT_EQ(GetCurrentProcessId(), l_x_Before.m_ul_Pid);
    EXPECT_GT(l_x_Before.m_ul_Handles, 0u);
    EXPECT_GT(l_x_Before.m_ul_Threads, 0u);
    EXPECT_GT(l_x_Before.m_ull_Private, 0u);

    const size_t l_st_Events = 200;
    const size_t l_st_Threads = 6;
    const size_t l_st_Bytes = 96u << 20;
    std::vector<HANDLE> l_ah_Events;
    for (size_t l_st_Index = 0; l_st_Index < l_st_Events; ++l_st_Index) {
        l_ah_Events.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    }
    std::vector<HANDLE> l_ah_Threads;
    for (size_t l_st_Index = 0; l_st_Index < l_st_Threads; ++l_st_Index) {
        l_ah_Threads.push_back(CreateThread(
            nullptr, 0,
            [](LPVOID i_pv_Event) -> DWORD {
                return WaitForSingleObject(static_cast<HANDLE>(i_pv_Event), INFINITE);
            },
            l_ah_Events[0], 0, nullptr));
    }
    unsigned char* const l_puc_Memory = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, l_st_Bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(nullptr, l_puc_Memory);
    for (size_t l_st_At = 0; l_st_At < l_st_Bytes; l_st_At += 4096) {
        l_puc_Memory[l_st_At] = 1;
    }

    // The output reader of the previous sample's child may not have left wine's lists yet: a
    // thread and a few handles either way are not the figures' fault.
    const unsigned long l_ul_Slack = 4;
    const SFigures l_x_During = Sample();
    EXPECT_GE(l_x_During.m_ul_Handles + l_ul_Slack, l_x_Before.m_ul_Handles + l_st_Events);
    EXPECT_LT(l_x_During.m_ul_Handles, l_x_Before.m_ul_Handles + l_st_Events + 40);
    EXPECT_GE(l_x_During.m_ul_Threads + 2, l_x_Before.m_ul_Threads + l_st_Threads);
    EXPECT_LE(l_x_During.m_ul_Threads, l_x_Before.m_ul_Threads + l_st_Threads + 2);
    EXPECT_GE(l_x_During.m_ull_Private, l_x_Before.m_ull_Private + l_st_Bytes * 9 / 10);
    EXPECT_LT(l_x_During.m_ull_Private, l_x_Before.m_ull_Private + l_st_Bytes * 2);

    SetEvent(l_ah_Events[0]);
    WaitForMultipleObjects(static_cast<DWORD>(l_ah_Threads.size()), l_ah_Threads.data(), TRUE,
                           60000);
    for (HANDLE l_h_Handle : l_ah_Threads) {
        CloseHandle(l_h_Handle);
    }
    for (HANDLE l_h_Handle : l_ah_Events) {
        CloseHandle(l_h_Handle);
    }
    VirtualFree(l_puc_Memory, 0, MEM_RELEASE);

    const SFigures l_x_After = Sample();
    EXPECT_LT(l_x_After.m_ul_Handles, l_x_During.m_ul_Handles - l_st_Events);
    EXPECT_LE(l_x_After.m_ul_Threads + l_st_Threads, l_x_During.m_ul_Threads + 2);
    EXPECT_LT(l_x_After.m_ull_Private, l_x_During.m_ull_Private - l_st_Bytes / 2);
}

TEST(ProcStat, AProcessFoundByItsImageNameAndAMissingOneIsSaidSo) {
    char l_ac_Path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, l_ac_Path, sizeof(l_ac_Path));
    const char* l_pc_Name = strrchr(l_ac_Path, '\\');
    const SFigures l_x_Found = Sample(l_pc_Name == nullptr ? l_ac_Path : l_pc_Name + 1);
    EXPECT_NE(0u, l_x_Found.m_ul_Pid);

    tulvo_test::CChildProcess l_x_Tool;
    ASSERT_TRUE(l_x_Tool.Start(
        "\"" + tulvo_test::BinDirectory() + "tulvo_procstat.exe\" no_such_image.exe", ""));
    ASSERT_TRUE(l_x_Tool.WaitForExit(60000));
    EXPECT_EQ(1u, l_x_Tool.ExitCode());
}

} // namespace

#include "tests/common/TraceCapture.h"

#include "service/TraceLog.h"

#include <atomic>
#include <mutex>

namespace tulvo_test {

namespace {

std::mutex g_x_Lock;
std::vector<std::string> g_ax_Lines;
std::atomic<uint32_t> g_ul_Tick{7};
std::atomic<int> g_i_Date{0}; // yyyymmdd

void CaptureLine(const char* i_pc_Line) {
    std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
    g_ax_Lines.emplace_back(i_pc_Line);
}
uint32_t CapturedTick() {
    return g_ul_Tick.load();
}
uint32_t CapturedThread() {
    return 0x2A;
}
void CapturedDate(struct tm* o_px_Date) {
    const int l_i_Date = g_i_Date.load();
    o_px_Date->tm_year = l_i_Date / 10000 - 1900;
    o_px_Date->tm_mon = l_i_Date / 100 % 100 - 1;
    o_px_Date->tm_mday = l_i_Date % 100;
}

} // namespace

CTraceCapture::CTraceCapture(bool i_b_SwitchOn) {
    m_x_Dir.Enter();
    g_ul_Tick = 7;
    const TraceLog_Seams l_x_Seams = {CapturedTick, CapturedThread, CaptureLine, nullptr};
    TraceLog_SetSeams(&l_x_Seams);
    if (i_b_SwitchOn) {
        TraceLog_Enable(TRACELOG_BASENAME);
    }
    Clear();
}

CTraceCapture::~CTraceCapture() {
    TraceLog_Disable();
    TraceLog_SetSeams(nullptr);
    m_x_Dir.Leave();
}

std::vector<std::string> CTraceCapture::Lines() {
    std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
    return g_ax_Lines;
}

std::vector<std::string> CTraceCapture::Messages() {
    std::vector<std::string> l_ax_Messages;
    for (const std::string& l_x_Line : Lines()) {
        // "%09ld %08X %s": the message follows the second blank.
        const size_t l_st_Blank = l_x_Line.find(' ', l_x_Line.find(' ') + 1);
        l_ax_Messages.push_back(l_st_Blank == std::string::npos ? l_x_Line
                                                                : l_x_Line.substr(l_st_Blank + 1));
    }
    return l_ax_Messages;
}

std::vector<std::string> CTraceCapture::Take() {
    std::vector<std::string> l_ax_Messages = Messages();
    Clear();
    return l_ax_Messages;
}

std::string CTraceCapture::Text() {
    std::string l_x_Text;
    for (const std::string& l_x_Message : Messages()) {
        l_x_Text += l_x_Message;
    }
    return l_x_Text;
}

bool CTraceCapture::Contains(const std::string& i_x_Message) {
    for (const std::string& l_x_Message : Messages()) {
        if (l_x_Message == i_x_Message) {
            return true;
        }
    }
    return false;
}

bool CTraceCapture::ContainsPrefix(const std::string& i_x_Prefix) {
    for (const std::string& l_x_Message : Messages()) {
        if (l_x_Message.compare(0, i_x_Prefix.size(), i_x_Prefix) == 0) {
            return true;
        }
    }
    return false;
}

int CTraceCapture::Count(const std::string& i_x_Text) {
    const std::string l_x_Text = Text();
    int l_i_Count = 0;
    for (size_t l_st_At = l_x_Text.find(i_x_Text); l_st_At != std::string::npos;
         l_st_At = l_x_Text.find(i_x_Text, l_st_At + 1)) {
        ++l_i_Count;
    }
    return l_i_Count;
}

void CTraceCapture::Clear() {
    std::lock_guard<std::mutex> l_x_Guard(g_x_Lock);
    g_ax_Lines.clear();
}

void CTraceCapture::SetTick(uint32_t i_ul_Tick) {
    g_ul_Tick = i_ul_Tick;
}

void CTraceCapture::SetDate(int i_i_Year, int i_i_Month, int i_i_Day) {
    g_i_Date = i_i_Year * 10000 + i_i_Month * 100 + i_i_Day;
    const TraceLog_Seams l_x_Seams = {CapturedTick, CapturedThread, CaptureLine, CapturedDate};
    TraceLog_SetSeams(&l_x_Seams);
}

} // namespace tulvo_test

// Captures the trace log's lines (message part only) for tests that check exact log texts.
// Logging writes daily files too, so the capture lives in a fresh working directory.
#ifndef TULVO_TESTS_IPC_PROTOCOL_LOGCAPTURE_H
#define TULVO_TESTS_IPC_PROTOCOL_LOGCAPTURE_H

#include "service/TraceLog.h"
#include "tests/common/TempDir.h"

#include <mutex>
#include <string>
#include <vector>

namespace tulvo_test {

class CLogCapture {
public:
    CLogCapture() {
        m_x_Dir.Enter();
        Lines().clear();
        TraceLog_Seams l_x_Seams = {nullptr, nullptr, Capture, nullptr};
        TraceLog_SetSeams(&l_x_Seams);
        TraceLog_Enable(TRACELOG_BASENAME);
        Take(); // the trace log's own line about being switched on
    }
    ~CLogCapture() {
        TraceLog_Disable();
        TraceLog_SetSeams(nullptr);
        m_x_Dir.Leave();
    }
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    // Messages logged so far, without the tick and thread prefix; clears them.
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> l_x_Guard(Lock());
        std::vector<std::string> l_ax_Lines;
        l_ax_Lines.swap(Lines());
        return l_ax_Lines;
    }

private:
    static std::mutex& Lock() {
        static std::mutex s_x_Lock;
        return s_x_Lock;
    }
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> s_ax_Lines;
        return s_ax_Lines;
    }
    static void Capture(const char* i_pc_Line) {
        // "%09ld %08X %s": the message starts after the two fixed-width fields.
        std::string l_x_Line(i_pc_Line);
        const size_t l_st_Prefix = 9 + 1 + 8 + 1;
        std::lock_guard<std::mutex> l_x_Guard(Lock());
        Lines().push_back(l_x_Line.size() >= l_st_Prefix ? l_x_Line.substr(l_st_Prefix) : l_x_Line);
    }

    CTempDir m_x_Dir;
};

} // namespace tulvo_test

#endif

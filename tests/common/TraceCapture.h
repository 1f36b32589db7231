// Test helper: catches every trace-log line while it lives. The tick count reads 7 and the
// thread id 0x2A unless a test moves them, so each line starts with TRACE_CAPTURE_PREFIX; the
// daily files go to a fresh working directory that is removed afterwards.
#ifndef TULVO_TESTS_COMMON_TRACECAPTURE_H
#define TULVO_TESTS_COMMON_TRACECAPTURE_H

#include "tests/common/TempDir.h"

#include <stdint.h>

#include <string>
#include <vector>

#define TRACE_CAPTURE_PREFIX "000000007 0000002A "

namespace tulvo_test {

class CTraceCapture {
public:
    // Switches logging on with TRACELOG_BASENAME (its own "Enable Log" line is not kept), or
    // leaves it as it is for tests that switch it themselves.
    explicit CTraceCapture(bool i_b_SwitchOn = true);
    // Switches logging off and puts the system's clock, thread ids and date back.
    ~CTraceCapture();
    CTraceCapture(const CTraceCapture&) = delete;
    CTraceCapture& operator=(const CTraceCapture&) = delete;

    // What the debugger output got so far: whole lines, or only their messages.
    static std::vector<std::string> Lines();
    static std::vector<std::string> Messages();
    // Messages(), forgetting them.
    static std::vector<std::string> Take();
    // Every message joined in order, each ending as it was logged.
    static std::string Text();
    static bool Contains(const std::string& i_x_Message);
    static bool ContainsPrefix(const std::string& i_x_Prefix);
    // How many times the text appears in Text().
    static int Count(const std::string& i_x_Text);
    static void Clear();

    // The tick count the next lines carry, and the local date their daily file is named after
    // (month 1 to 12; until set, today).
    static void SetTick(uint32_t i_ul_Tick);
    static void SetDate(int i_i_Year, int i_i_Month, int i_i_Day);

private:
    CTempDir m_x_Dir;
};

} // namespace tulvo_test

#endif

// Kept for the tests that still include it by this name: the trace-log capture is
// tulvo_test::CTraceCapture of tests/common/TraceCapture.h.
#ifndef TULVO_TESTS_IPC_PROTOCOL_LOGCAPTURE_H
#define TULVO_TESTS_IPC_PROTOCOL_LOGCAPTURE_H

#include "tests/common/TraceCapture.h"

namespace tulvo_test {
using CLogCapture = CTraceCapture;
} // namespace tulvo_test

#endif

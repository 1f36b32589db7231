// Records the frames a frame receiver hands over, for the tests of the receiver, of the sensor
// simulator and of the serial link, where they arrive on the link's receive thread.
// CFrameRecorder<> is a CFrameOwner; CFrameRecorder<X> records for any owner interface X
// derived from CFrameOwner (the link's owner adds its error notice).
#ifndef TULVO_TESTS_DEVICE_LINK_FRAMERECORDER_H
#define TULVO_TESTS_DEVICE_LINK_FRAMERECORDER_H

#include "device/link/FrameCodec.h"

#include <stdint.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace tulvo_test {

using Frame = std::vector<uint8_t>;

template <typename TOwner = CFrameOwner> class CFrameRecorder : public TOwner {
public:
    int32_t HandleReceiveFrame(uint8_t* i_puc_Frame, uint32_t i_ul_Length) override {
        {
            std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
            if (i_puc_Frame == nullptr) {
                ++m_i_NullFrames;
            } else {
                m_ax_Frames.emplace_back(i_puc_Frame, i_puc_Frame + i_ul_Length);
            }
        }
        free(i_puc_Frame);
        m_x_Changed.notify_all();
        return 0;
    }

    // Waits until at least i_st_Count frames are recorded; false after i_ul_Ms.
    bool WaitFrames(size_t i_st_Count, uint32_t i_ul_Ms) {
        std::unique_lock<std::mutex> l_x_Guard(m_x_Lock);
        return m_x_Changed.wait_for(l_x_Guard, std::chrono::milliseconds(i_ul_Ms),
                                    [&] { return m_ax_Frames.size() >= i_st_Count; });
    }
    std::vector<Frame> Frames() {
        std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
        return m_ax_Frames;
    }
    // Every frame recorded so far, oldest first; the record is empty afterwards.
    std::vector<Frame> TakeFrames() {
        std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
        std::vector<Frame> l_ax_Frames;
        l_ax_Frames.swap(m_ax_Frames);
        return l_ax_Frames;
    }
    // The oldest frame, removed from the record; false when there is none.
    bool TakeFirst(Frame* o_px_Frame) {
        std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
        if (m_ax_Frames.empty()) {
            return false;
        }
        *o_px_Frame = m_ax_Frames.front();
        m_ax_Frames.erase(m_ax_Frames.begin());
        return true;
    }
    size_t FrameCount() {
        std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
        return m_ax_Frames.size();
    }
    // Frames handed over without a buffer, which the receiver must never do.
    int NullFrames() {
        std::lock_guard<std::mutex> l_x_Guard(m_x_Lock);
        return m_i_NullFrames;
    }

protected:
    std::mutex m_x_Lock;

private:
    std::condition_variable m_x_Changed;
    std::vector<Frame> m_ax_Frames;
    int m_i_NullFrames = 0;
};

} // namespace tulvo_test

#endif

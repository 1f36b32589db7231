// Holds on device objects and the device-list slot that hands them out (the lifetime rule is
// at the top of GestVek.h).
#include "device/manager/GestVek.h"

namespace {

CGestVek* CreationMarker() {
    return reinterpret_cast<CGestVek*>(static_cast<uintptr_t>(GESTVEK_CREATION_MARKER));
}

// Exclusive or shared hold on a slot's lock for one scope.
class CSlotGuard {
public:
    CSlotGuard(SRWLOCK* i_px_Lock, bool i_b_Exclusive)
        : m_px_Lock(i_px_Lock), m_b_Exclusive(i_b_Exclusive) {
        if (m_b_Exclusive) {
            AcquireSRWLockExclusive(m_px_Lock);
        } else {
            AcquireSRWLockShared(m_px_Lock);
        }
    }
    ~CSlotGuard() {
        if (m_b_Exclusive) {
            ReleaseSRWLockExclusive(m_px_Lock);
        } else {
            ReleaseSRWLockShared(m_px_Lock);
        }
    }
    CSlotGuard(const CSlotGuard&) = delete;
    CSlotGuard& operator=(const CSlotGuard&) = delete;

private:
    SRWLOCK* m_px_Lock;
    bool m_b_Exclusive;
};

} // namespace

CGestVekHold& CGestVekHold::operator=(CGestVekHold&& io_x_Other) noexcept {
    if (this != &io_x_Other) {
        Reset();
        m_px_GestVek = io_x_Other.m_px_GestVek;
        io_x_Other.m_px_GestVek = nullptr;
    }
    return *this;
}

void CGestVekHold::Reset() {
    CGestVek* l_px_GestVek = Take();
    if (l_px_GestVek != nullptr) {
        l_px_GestVek->DropHold();
    }
}

CGestVekSlot::CGestVekSlot() : m_x_Lock(SRWLOCK_INIT), m_px_GestVek(nullptr) {}

CGestVekSlot::~CGestVekSlot() {
    if (GetState() == GESTVEK_SLOT_HELD) {
        CGestVekHold l_x_Listed = Take();
    }
}

GestVek_SlotState CGestVekSlot::Hold(CGestVekHold* o_px_Hold) const {
    o_px_Hold->Reset();
    CSlotGuard l_x_Guard(&m_x_Lock, false);
    if (m_px_GestVek == nullptr) {
        return GESTVEK_SLOT_EMPTY;
    }
    if (m_px_GestVek == CreationMarker()) {
        return GESTVEK_SLOT_CREATING;
    }
    // The list's own hold cannot go while the lock is held, so the count is above 0 here.
    m_px_GestVek->AddHold();
    *o_px_Hold = CGestVekHold(m_px_GestVek);
    return GESTVEK_SLOT_HELD;
}

bool CGestVekSlot::MarkCreating() {
    CSlotGuard l_x_Guard(&m_x_Lock, true);
    if (m_px_GestVek != nullptr) {
        return false;
    }
    m_px_GestVek = CreationMarker();
    return true;
}

void CGestVekSlot::ClearCreating() {
    CSlotGuard l_x_Guard(&m_x_Lock, true);
    if (m_px_GestVek == CreationMarker()) {
        m_px_GestVek = nullptr;
    }
}

void CGestVekSlot::Put(CGestVekHold&& io_x_Hold) {
    // A slot lists one object: one put over another gives up the old one's list hold, after
    // the lock, since that may destroy it.
    CGestVekHold l_x_Previous;
    CSlotGuard l_x_Guard(&m_x_Lock, true);
    if (m_px_GestVek != nullptr && m_px_GestVek != CreationMarker()) {
        l_x_Previous = CGestVekHold(m_px_GestVek);
    }
    m_px_GestVek = io_x_Hold.Take();
}

CGestVekHold CGestVekSlot::Take() {
    CSlotGuard l_x_Guard(&m_x_Lock, true);
    if (m_px_GestVek == nullptr || m_px_GestVek == CreationMarker()) {
        return CGestVekHold();
    }
    CGestVekHold l_x_Listed(m_px_GestVek);
    m_px_GestVek = nullptr;
    return l_x_Listed;
}

void CGestVekSlot::Remove() {
    CGestVekHold l_x_Listed = Take();
    if (l_x_Listed) {
        l_x_Listed->Stop();
    }
}

CGestVek* CGestVekSlot::Peek() const {
    CSlotGuard l_x_Guard(&m_x_Lock, false);
    return m_px_GestVek == CreationMarker() ? nullptr : m_px_GestVek;
}

GestVek_SlotState CGestVekSlot::GetState() const {
    CSlotGuard l_x_Guard(&m_x_Lock, false);
    if (m_px_GestVek == nullptr) {
        return GESTVEK_SLOT_EMPTY;
    }
    return m_px_GestVek == CreationMarker() ? GESTVEK_SLOT_CREATING : GESTVEK_SLOT_HELD;
}

#include "AURenderNotifyList.h"

AURenderNotifyList::~AURenderNotifyList() {
    FreeChain(m_pending.exchange(nullptr));
    FreeChain(m_retired.exchange(nullptr));
}

void AURenderNotifyList::FreeChain(Request* request) {
    while (request != nullptr) {
        Request* next = request->next;
        delete request;
        request = next;
    }
}

void AURenderNotifyList::FreeRetired() {
    FreeChain(m_retired.exchange(nullptr, std::memory_order_acquire));
}

void AURenderNotifyList::Queue(bool add, AURenderCallback proc, void* refCon) {
    FreeRetired();
    auto* request = new Request{add, proc, refCon, m_pending.load(std::memory_order_relaxed)};
    while (!m_pending.compare_exchange_weak(request->next, request, std::memory_order_release,
                                            std::memory_order_relaxed)) {
    }
}

void AURenderNotifyList::Add(AURenderCallback proc, void* refCon) {
    Queue(true, proc, refCon);
    m_everRegistered.store(true, std::memory_order_release);
}

void AURenderNotifyList::Remove(AURenderCallback proc, void* refCon) {
    Queue(false, proc, refCon);
}

void AURenderNotifyList::ApplyPending() noexcept {
    Request* newestFirst = m_pending.exchange(nullptr, std::memory_order_acquire);
    if (newestFirst == nullptr) {
        return;
    }
    // The stack holds the newest request first; reverse it to apply in request order.
    Request* oldestFirst = nullptr;
    Request* const last = newestFirst;
    while (newestFirst != nullptr) {
        Request* next = newestFirst->next;
        newestFirst->next = oldestFirst;
        oldestFirst = newestFirst;
        newestFirst = next;
    }
    for (const Request* request = oldestFirst; request != nullptr; request = request->next) {
        UInt32 found = 0;
        while (found < m_activeCount && (m_active[found].inputProc != request->proc ||
                                         m_active[found].inputProcRefCon != request->refCon)) {
            ++found;
        }
        if (request->add) {
            if (found == m_activeCount && m_activeCount < kCapacity) {
                m_active[m_activeCount++] = AURenderCallbackStruct{request->proc, request->refCon};
            }
        } else if (found < m_activeCount) {
            for (UInt32 i = found + 1; i < m_activeCount; ++i) {
                m_active[i - 1] = m_active[i];
            }
            --m_activeCount;
        }
    }
    last->next = m_retired.load(std::memory_order_relaxed);
    while (!m_retired.compare_exchange_weak(last->next, oldestFirst, std::memory_order_release,
                                            std::memory_order_relaxed)) {
    }
}

void AURenderNotifyList::Notify(AudioUnitRenderActionFlags flags, const AudioTimeStamp& timeStamp,
                                UInt32 bus, UInt32 nFrames,
                                AudioBufferList* ioData) const noexcept {
    for (UInt32 i = 0; i < m_activeCount; ++i) {
        AudioUnitRenderActionFlags callFlags = flags;
        m_active[i].inputProc(m_active[i].inputProcRefCon, &callFlags, &timeStamp, bus, nFrames,
                              ioData);
    }
}

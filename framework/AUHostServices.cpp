#include "AUHostServices.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>

#include "AudioUnitAPI.h"

struct AUListenerBase {
    AUParameterListenerProc parameterProc;
    AUEventListenerProc eventProc;
    void* refCon;
};

namespace {

bool SameParameter(const AudioUnitParameter& registered, const AudioUnitParameter& changed) {
    return registered.mAudioUnit == changed.mAudioUnit && registered.mScope == changed.mScope &&
           registered.mElement == changed.mElement &&
           (registered.mParameterID == changed.mParameterID ||
            registered.mParameterID == kAUParameterListener_AnyParameter);
}

bool SameProperty(const AudioUnitProperty& a, const AudioUnitProperty& b) {
    return a.mAudioUnit == b.mAudioUnit && a.mPropertyID == b.mPropertyID && a.mScope == b.mScope &&
           a.mElement == b.mElement;
}

// Whether a registration for registered hears changed.
bool Matches(const AudioUnitEvent& registered, const AudioUnitEvent& changed) {
    if (registered.mEventType != changed.mEventType) {
        return false;
    }
    if (changed.mEventType == kAudioUnitEvent_PropertyChange) {
        return SameProperty(registered.mArgument.mProperty, changed.mArgument.mProperty);
    }
    return SameParameter(registered.mArgument.mParameter, changed.mArgument.mParameter);
}

// Whether two registrations are the same one (exact, no wildcard).
bool SameRegistration(const AudioUnitEvent& a, const AudioUnitEvent& b) {
    if (a.mEventType != b.mEventType) {
        return false;
    }
    if (a.mEventType == kAudioUnitEvent_PropertyChange) {
        return SameProperty(a.mArgument.mProperty, b.mArgument.mProperty);
    }
    const AudioUnitParameter& p = a.mArgument.mParameter;
    const AudioUnitParameter& q = b.mArgument.mParameter;
    return p.mAudioUnit == q.mAudioUnit && p.mParameterID == q.mParameterID &&
           p.mScope == q.mScope && p.mElement == q.mElement;
}

UInt64 HostTimeNanoseconds() {
    return UInt64(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

// The process-wide table of registrations. A slot's fields are written while it is in the
// writing state and published by the store of the live state; a notifier counts itself into
// a slot's users before it reads the fields and checks again that the slot is live, so a
// remover that marks the slot empty and then waits for the users to drop to zero knows that
// no callback of that registration runs any more.
class ListenerRegistry {
public:
    static ListenerRegistry& Instance() {
        static ListenerRegistry registry;
        return registry;
    }

    OSStatus Add(AUListenerBase* listener, void* object, const AudioUnitEvent& event) {
        std::lock_guard lock(m_mutex);
        std::size_t index = 0;
        const std::size_t used = m_used.load();
        while (index < used && m_slots[index].state.load() != kEmpty) {
            ++index;
        }
        if (index == kAUListenerCapacity) {
            return kAudio_MemFullError;
        }
        Slot& slot = m_slots[index];
        slot.state.store(kWriting);
        slot.listener = listener;
        slot.object = object;
        slot.event = event;
        slot.unit.store(event.mArgument.mParameter.mAudioUnit, std::memory_order_relaxed);
        slot.state.store(kLive);
        if (index == used) {
            m_used.store(used + 1);
        }
        return noErr;
    }

    // Removes the registrations of listener that match; all of them when event is null.
    void Remove(const AUListenerBase* listener, void* object, const AudioUnitEvent* event) {
        std::lock_guard lock(m_mutex);
        const std::size_t used = m_used.load();
        for (std::size_t i = 0; i < used; ++i) {
            Slot& slot = m_slots[i];
            if (slot.state.load() != kLive || slot.listener != listener ||
                (event != nullptr &&
                 (slot.object != object || !SameRegistration(slot.event, *event)))) {
                continue;
            }
            slot.state.store(kEmpty);
            while (slot.users.load() != 0) {
                std::this_thread::yield();
            }
        }
    }

    void Notify(const AudioUnitEvent& event, AudioUnitParameterValue value,
                const AUListenerBase* sendingListener, const void* sendingObject) {
        const UInt64 hostTime = HostTimeNanoseconds();
        const AudioUnit unit = event.mArgument.mParameter.mAudioUnit;
        const std::size_t used = m_used.load();
        for (std::size_t i = 0; i < used; ++i) {
            Slot& slot = m_slots[i];
            // Registrations of other units are passed over without a write: a process with many
            // units would otherwise pay for every one of them on each change. A unit read here
            // that is out of date only sends the slot through the full check below.
            if (slot.unit.load(std::memory_order_relaxed) != unit || slot.state.load() != kLive) {
                continue;
            }
            slot.users.fetch_add(1);
            if (slot.state.load() == kLive && Matches(slot.event, event) &&
                !(sendingListener != nullptr && slot.listener == sendingListener &&
                  slot.object == sendingObject)) {
                const AUListenerBase& listener = *slot.listener;
                if (listener.eventProc != nullptr) {
                    listener.eventProc(
                        listener.refCon, slot.object, &event, hostTime,
                        event.mEventType == kAudioUnitEvent_ParameterValueChange ? value : 0.0f);
                } else if (listener.parameterProc != nullptr) {
                    listener.parameterProc(listener.refCon, slot.object,
                                           &event.mArgument.mParameter, value);
                }
            }
            slot.users.fetch_sub(1);
        }
    }

private:
    enum : UInt32 { kEmpty, kWriting, kLive };

    struct Slot {
        std::atomic<UInt32> state{kEmpty};
        std::atomic<UInt32> users{0};
        // The unit of the registration (parameter and property events name it alike).
        std::atomic<AudioUnit> unit{nullptr};
        AUListenerBase* listener = nullptr;
        void* object = nullptr;
        AudioUnitEvent event{};
    };

    std::mutex m_mutex;
    std::atomic<std::size_t> m_used{0};
    std::array<Slot, kAUListenerCapacity> m_slots;
};

OSStatus CreateListener(AUParameterListenerProc parameterProc, AUEventListenerProc eventProc,
                        void* refCon, AUListenerBase** outListener) {
    if (outListener == nullptr || (parameterProc == nullptr && eventProc == nullptr)) {
        return kAudio_ParamError;
    }
    *outListener = new (std::nothrow) AUListenerBase{parameterProc, eventProc, refCon};
    return *outListener != nullptr ? noErr : kAudio_MemFullError;
}

AudioUnitEvent ValueChangeEvent(const AudioUnitParameter& parameter) {
    AudioUnitEvent event{};
    event.mEventType = kAudioUnitEvent_ParameterValueChange;
    event.mArgument.mParameter = parameter;
    return event;
}

} // namespace

OSStatus AUListenerCreate(AUParameterListenerProc proc, void* refCon,
                          AUParameterListenerRef* outListener) {
    return CreateListener(proc, nullptr, refCon, outListener);
}

OSStatus AUEventListenerCreate(AUEventListenerProc proc, void* refCon,
                               AUEventListenerRef* outListener) {
    return CreateListener(nullptr, proc, refCon, outListener);
}

OSStatus AUListenerDispose(AUParameterListenerRef listener) {
    if (listener == nullptr) {
        return kAudio_ParamError;
    }
    ListenerRegistry::Instance().Remove(listener, nullptr, nullptr);
    delete listener;
    return noErr;
}

OSStatus AUListenerAddParameter(AUParameterListenerRef listener, void* object,
                                const AudioUnitParameter* parameter) {
    if (listener == nullptr || parameter == nullptr) {
        return kAudio_ParamError;
    }
    return ListenerRegistry::Instance().Add(listener, object, ValueChangeEvent(*parameter));
}

OSStatus AUListenerRemoveParameter(AUParameterListenerRef listener, void* object,
                                   const AudioUnitParameter* parameter) {
    if (listener == nullptr || parameter == nullptr) {
        return kAudio_ParamError;
    }
    const AudioUnitEvent event = ValueChangeEvent(*parameter);
    ListenerRegistry::Instance().Remove(listener, object, &event);
    return noErr;
}

OSStatus AUEventListenerAddEventType(AUEventListenerRef listener, void* object,
                                     const AudioUnitEvent* event) {
    if (listener == nullptr || event == nullptr || listener->eventProc == nullptr ||
        event->mEventType > kAudioUnitEvent_PropertyChange) {
        return kAudio_ParamError;
    }
    return ListenerRegistry::Instance().Add(listener, object, *event);
}

OSStatus AUEventListenerRemoveEventType(AUEventListenerRef listener, void* object,
                                        const AudioUnitEvent* event) {
    if (listener == nullptr || event == nullptr) {
        return kAudio_ParamError;
    }
    ListenerRegistry::Instance().Remove(listener, object, event);
    return noErr;
}

OSStatus AUParameterSet(AUParameterListenerRef sendingListener, void* sendingObject,
                        const AudioUnitParameter* parameter, AudioUnitParameterValue value,
                        UInt32 bufferOffsetInFrames) {
    if (parameter == nullptr) {
        return kAudio_ParamError;
    }
    const OSStatus result =
        AudioUnitSetParameter(parameter->mAudioUnit, parameter->mParameterID, parameter->mScope,
                              parameter->mElement, value, bufferOffsetInFrames);
    if (result != noErr) {
        return result;
    }
    return AUParameterListenerNotify(sendingListener, sendingObject, parameter);
}

OSStatus AUParameterListenerNotify(AUParameterListenerRef sendingListener, void* sendingObject,
                                   const AudioUnitParameter* parameter) {
    if (parameter == nullptr) {
        return kAudio_ParamError;
    }
    AudioUnitParameterValue value = 0.0f;
    const OSStatus result = AudioUnitGetParameter(parameter->mAudioUnit, parameter->mParameterID,
                                                  parameter->mScope, parameter->mElement, &value);
    if (result != noErr) {
        return result;
    }
    ListenerRegistry::Instance().Notify(ValueChangeEvent(*parameter), value, sendingListener,
                                        sendingObject);
    return noErr;
}

OSStatus AUEventListenerNotify(AUEventListenerRef sendingListener, void* sendingObject,
                               const AudioUnitEvent* event) {
    if (event == nullptr) {
        return kAudio_ParamError;
    }
    if (event->mEventType == kAudioUnitEvent_ParameterValueChange) {
        return AUParameterListenerNotify(sendingListener, sendingObject,
                                         &event->mArgument.mParameter);
    }
    ListenerRegistry::Instance().Notify(*event, 0.0f, sendingListener, sendingObject);
    return noErr;
}

char* AUParameterFormatValue(Float64 value, const CAAUParameter* /*parameter*/, char* textBuffer,
                             UInt32 digits) {
    if (textBuffer == nullptr) {
        return nullptr;
    }
    constexpr int kBufferSize = int(kAUParameterFormatValueBufferSize);
    if (!std::isfinite(value) || std::fabs(value) >= 1e15) {
        std::snprintf(textBuffer, kBufferSize, "%.*g", int(digits > 0 ? digits : 1), value);
        return textBuffer;
    }
    const int significant = digits > 0 ? int(digits) : 1;
    int decimals = 0;
    if (value != 0.0) {
        const double magnitude = std::fabs(value);
        int exponent = int(std::floor(std::log10(magnitude)));
        // log10 may land a hair beside an exact power of ten.
        if (std::pow(10.0, exponent + 1) <= magnitude) {
            ++exponent;
        } else if (std::pow(10.0, exponent) > magnitude) {
            --exponent;
        }
        decimals = significant - 1 - exponent;
        // Rounding may carry into a new leading digit (9.9996 -> 10.000): one decimal less.
        const double scale = std::pow(10.0, decimals);
        if (decimals > 0 &&
            std::fabs(std::round(value * scale) / scale) >= std::pow(10.0, exponent + 1)) {
            --decimals;
        }
    } else {
        decimals = significant - 1;
    }
    decimals = decimals < 0 ? 0 : (decimals > 15 ? 15 : decimals);
    // Plus zero, so that a negative zero does not print as "-0".
    std::snprintf(textBuffer, kBufferSize, "%.*f", decimals, value + 0.0);
    return textBuffer;
}

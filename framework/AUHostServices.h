// The host's services that a unit and its editor call back: parameter and event listeners,
// the notifying parameter set, gesture notification and value text.
//
// Listeners are held in a process-wide table of fixed capacity. Registering and removing take
// a lock and belong on non-real-time threads; notifying takes no lock and allocates nothing,
// because it runs on the render thread when a MIDI script moves a parameter. Callbacks run
// synchronously on the notifying thread, so they must be real-time safe themselves, and a
// callback must not register, remove or dispose listeners (removal waits, holding the
// registration lock, until no notification is inside the removed registration's callback).
#pragma once

#include <cstddef>

#include "AUTypes.h"

class CAAUParameter;
struct AUListenerBase;
using AUParameterListenerRef = AUListenerBase*;
using AUEventListenerRef = AUListenerBase*;

// A parameter listener's callback: the parameter that changed and its new value.
using AUParameterListenerProc = void (*)(void* refCon, void* object,
                                         const AudioUnitParameter* parameter,
                                         AudioUnitParameterValue value);
// An event listener's callback: the event, the monotonic time in nanoseconds, and for
// value changes the new value (0 for other events).
using AUEventListenerProc = void (*)(void* refCon, void* object, const AudioUnitEvent* event,
                                     UInt64 eventHostTime, AudioUnitParameterValue value);

// A registration's parameter number that stands for every parameter of its unit.
constexpr AudioUnitParameterID kAUParameterListener_AnyParameter = 0xFFFFFFFF;
// The most registrations (parameter and event) that can exist at once in the process.
constexpr std::size_t kAUListenerCapacity = 1024;
// The buffer size AUParameterFormatValue needs.
constexpr std::size_t kAUParameterFormatValueBufferSize = 32;

// Non-real-time threads.
OSStatus AUListenerCreate(AUParameterListenerProc proc, void* refCon,
                          AUParameterListenerRef* outListener);
// Removes all of the listener's registrations, waits for callbacks in progress, frees it.
OSStatus AUListenerDispose(AUParameterListenerRef listener);
// object is handed back in each callback and, with the listener, identifies a sender.
// -108 when the table is full.
OSStatus AUListenerAddParameter(AUParameterListenerRef listener, void* object,
                                const AudioUnitParameter* parameter);
OSStatus AUListenerRemoveParameter(AUParameterListenerRef listener, void* object,
                                   const AudioUnitParameter* parameter);

// Non-real-time threads. Event listeners hear the event types they add: value changes and
// gesture begin/end of a parameter, or changes of a property.
OSStatus AUEventListenerCreate(AUEventListenerProc proc, void* refCon,
                               AUEventListenerRef* outListener);
OSStatus AUEventListenerAddEventType(AUEventListenerRef listener, void* object,
                                     const AudioUnitEvent* event);
OSStatus AUEventListenerRemoveEventType(AUEventListenerRef listener, void* object,
                                        const AudioUnitEvent* event);

// Any thread; real-time safe as far as the unit and the listeners are. Sets the parameter on
// its unit, then tells every listener registered for it (and every event listener for its
// value changes), except the registration of (sendingListener, sendingObject) when a
// sending listener is given.
OSStatus AUParameterSet(AUParameterListenerRef sendingListener, void* sendingObject,
                        const AudioUnitParameter* parameter, AudioUnitParameterValue value,
                        UInt32 bufferOffsetInFrames);
// Any thread; real-time safe. Tells the listeners of parameter its current value.
OSStatus AUParameterListenerNotify(AUParameterListenerRef sendingListener, void* sendingObject,
                                   const AudioUnitParameter* parameter);
// Any thread; real-time safe. Delivers event to the event listeners registered for it.
OSStatus AUEventListenerNotify(AUEventListenerRef sendingListener, void* sendingObject,
                               const AudioUnitEvent* event);

// Any thread. Writes value with digits significant digits in plain decimal notation into
// textBuffer (at least kAUParameterFormatValueBufferSize bytes) and returns it.
char* AUParameterFormatValue(Float64 value, const CAAUParameter* parameter, char* textBuffer,
                             UInt32 digits);

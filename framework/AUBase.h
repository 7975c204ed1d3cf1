// The unit base: scopes, elements, parameters, properties, presets, saved state, property
// listeners, render notifications, scheduled parameters and the render driver.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <plist/plist.h>

#include "AURenderNotifyList.h"
#include "AUScope.h"
#include "ComponentBase.h"

// A unit as the host sees it. Threads: the host's render thread renders, takes MIDI and
// scheduled parameters; other threads (the host's main thread, editors, OSC) use properties,
// parameters and the life cycle. Unless a member says otherwise it belongs to those other
// threads and must not run while a render is in progress.
class AUBase : public ComponentBase {
public:
    static constexpr UInt32 kDefaultMaxFramesPerSlice = 1156;
    static constexpr UInt32 kNumberOfScopes = 4;
    static constexpr std::size_t kScheduledEventReserve = 24;
    static constexpr std::size_t kPropertyListenerReserve = 32;
    // The current preset of a new unit.
    static constexpr SInt32 kUntitledPresetNumber = -1;
    static constexpr const char* kUntitledPresetName = "Untitled";

    AUBase(AudioComponentInstance instance, UInt32 numInputElements, UInt32 numOutputElements,
           UInt32 numGroupElements = 0);
    ~AUBase() override;

    // ---- Elements ---------------------------------------------------------------------
    // Main thread: runs the element creation (again without effect if it already ran).
    void PostConstructor() override { CreateElements(); }
    // Main thread: cleans up an initialised unit while its overrides still exist.
    void PreDestructor() override { DoCleanup(); }
    // Main thread. Creates the four scopes' elements, once; later calls do nothing.
    virtual void CreateElements();
    // Main thread. The element factory: IO elements for the input and output scopes (they
    // must stay AUIOElements), plain elements elsewhere.
    virtual std::unique_ptr<AUElement> CreateElement(AudioUnitScope scope,
                                                     AudioUnitElement element);

    // Strict scope lookup: a number of 4 or more goes to GetScopeExtended, and throws -10866
    // when that has none.
    AUScope& GetScope(AudioUnitScope scope);
    // Main thread. Scopes beyond the four fixed ones; none here.
    virtual AUScope* GetScopeExtended(AudioUnitScope /*scope*/) { return nullptr; }
    AUScope& GlobalScope() { return m_scopes[kAudioUnitScope_Global]; }
    AUScope& Inputs() { return m_scopes[kAudioUnitScope_Input]; }
    AUScope& Outputs() { return m_scopes[kAudioUnitScope_Output]; }
    AUScope& Groups() { return m_scopes[kAudioUnitScope_Group]; }
    const AUScope& Inputs() const { return m_scopes[kAudioUnitScope_Input]; }
    const AUScope& Outputs() const { return m_scopes[kAudioUnitScope_Output]; }
    // The global scope's only element.
    AUElement* Globals() const { return m_scopes[kAudioUnitScope_Global].GetElement(0); }

    // Strict lookup: -10866 for a bad scope, -10877 for a missing element (thrown).
    AUElement& GetElement(AudioUnitScope scope, AudioUnitElement element);
    // Lenient lookup: null for a bad scope or missing element. Any thread; real-time safe.
    AUElement* GetElementIfExists(AudioUnitScope scope, AudioUnitElement element) noexcept;
    // Strict lookups of IO elements (thrown -10877 when missing).
    AUInputElement& GetInput(AudioUnitElement element);
    AUOutputElement& GetOutput(AudioUnitElement element);
    // The IO element a stream-format request names; the global scope means output 0.
    AUIOElement& GetIOElement(AudioUnitScope scope, AudioUnitElement element);

    // ---- Life cycle -------------------------------------------------------------------
    // Main thread. Allocates the IO buffers and runs Initialize; nothing when initialised.
    OSStatus DoInitialize();
    // Main thread. Runs Cleanup and frees the IO buffers; nothing when not initialised.
    void DoCleanup();
    // Main thread, between renders.
    OSStatus DoReset(AudioUnitScope scope, AudioUnitElement element) {
        return Reset(scope, element);
    }
    // Main thread; the unit's own initialisation. Not real-time safe.
    virtual OSStatus Initialize() { return noErr; }
    // Main thread; undoes Initialize.
    virtual void Cleanup() {}
    // Main thread, between renders; clears processing state (here the render time).
    virtual OSStatus Reset(AudioUnitScope scope, AudioUnitElement element);
    // Any thread.
    bool IsInitialized() const { return m_initialized.load(std::memory_order_acquire); }

    // ---- Parameters -------------------------------------------------------------------
    // Any thread; real-time safe for an existing parameter (a missing one throws -10878).
    virtual OSStatus GetParameter(AudioUnitParameterID paramID, AudioUnitScope scope,
                                  AudioUnitElement element, AudioUnitParameterValue& outValue);
    // Any thread (the render thread too, for scripts); real-time safe for an existing
    // parameter. The frame offset is not used.
    virtual OSStatus SetParameter(AudioUnitParameterID paramID, AudioUnitScope scope,
                                  AudioUnitElement element, AudioUnitParameterValue value,
                                  UInt32 bufferOffset);
    // Render thread, between renders. Applies immediate events at once through SetParameter
    // and keeps every event for the next render, except those whose values are not finite
    // and those SetParameter refuses (the first refusal is the result). More than
    // kScheduledEventReserve events per render make the list grow (allocate).
    virtual OSStatus ScheduleParameter(const AudioUnitParameterEvent* events, UInt32 count);
    // Main thread; the host's parameter-information request. The record arrives zeroed.
    virtual OSStatus GetParameterInfo(AudioUnitScope scope, AudioUnitParameterID paramID,
                                      AudioUnitParameterInfo& outInfo);
    // Main thread; the value-name list of a parameter as a new plist array of strings that
    // the caller frees. With outStrings null, only whether the list exists.
    virtual OSStatus GetParameterValueStrings(AudioUnitScope scope, AudioUnitParameterID paramID,
                                              plist_t* outStrings);
    // Main thread. Parameter numbers of the scope's element with the most parameters, in
    // storage order; outList may be null to ask only the count.
    UInt32 GetParameterList(AudioUnitScope scope, AudioUnitParameterID* outList);

    // ---- Properties -------------------------------------------------------------------
    // Main thread (the fast-dispatch and render-time queries too). Size and writability of a
    // property; -10879 for an unknown one.
    virtual OSStatus GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, UInt32& outDataSize,
                                     Boolean& outWritable);
    // Main thread. Writes the value into outData, which holds GetPropertyInfo's size.
    virtual OSStatus GetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, void* outData);
    // Main thread. inData holds inDataSize bytes, never null.
    virtual OSStatus SetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, const void* inData, UInt32 inDataSize);
    // Main thread; a set request without data.
    virtual OSStatus RemovePropertyValue(AudioUnitPropertyID id, AudioUnitScope scope,
                                         AudioUnitElement element);

    // The get-property request: size query when outData is null, -50 when ioDataSize is
    // smaller than the property.
    OSStatus DispatchGetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, void* outData, UInt32* ioDataSize);

    // ---- Property listeners -----------------------------------------------------------
    // Any thread but the render thread.
    OSStatus AddPropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                                 void* userData);
    // Removes every entry with id and proc (and userData when compareUserData).
    OSStatus RemovePropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                                    void* userData, bool compareUserData);
    // Calls the listeners of id in registration order on this thread. Not on the render
    // thread (it takes the listener lock).
    void PropertyChanged(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element);

    // ---- Presets and state ------------------------------------------------------------
    // Main thread. The unit's factory presets, valid for the unit's life; with outPresets
    // null only whether there are any (-10879 here: none).
    virtual OSStatus GetPresets(AUPresetList* outPresets) const;
    // Main thread. Loads factory preset number preset.presetNumber (never negative).
    virtual OSStatus NewFactoryPresetSet(const AUPreset& preset);
    // Main thread. Makes (number, name) the current preset; a null name means "Untitled".
    void SetCurrentPreset(SInt32 number, const char* name);
    // The current preset; its name lives as long as the unit.
    AUPreset GetCurrentPreset() const { return AUPreset{m_presetNumber, m_presetName}; }

    // Main thread. A new saved-state dictionary that the caller frees with plist_free.
    virtual OSStatus SaveState(plist_t* outData);
    // Main thread. Checks the whole dictionary first (-10851, or -10866 for a scope of 4 or
    // more) and changes nothing when it is refused; the caller keeps the dictionary.
    virtual OSStatus RestoreState(plist_t inData);

    // ---- Capabilities -----------------------------------------------------------------
    // Main thread. Editor components offered through the UI-component list property.
    virtual UInt32 GetNumCustomUIComponents() { return 0; }
    virtual void GetUIComponentDescs(ComponentDescription* /*outDescs*/) {}
    // Any thread (the render thread reads them for silence detection); real-time safe.
    virtual Float64 GetLatency() { return 0.0; }
    virtual Float64 GetTailTime() { return 0.0; }
    virtual bool SupportsTail() { return false; }

    // ---- Stream formats ---------------------------------------------------------------
    // Main thread. Whether format may be set on the element.
    virtual bool ValidFormat(AudioUnitScope scope, AudioUnitElement element,
                             const AudioStreamBasicDescription& format);
    // Main thread. Whether the element's format may change now; not while initialised.
    virtual bool StreamFormatWritable(AudioUnitScope scope, AudioUnitElement element);
    // Main thread, uninitialised. Stores the new format on the element.
    virtual OSStatus ChangeStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                        const AudioStreamBasicDescription& previousFormat,
                                        const AudioStreamBasicDescription& newFormat);

    // Any thread; set only while not initialised (else -10849 is thrown).
    UInt32 GetMaxFramesPerSlice() const { return m_maxFramesPerSlice; }
    void SetMaxFramesPerSlice(UInt32 frames);
    const HostCallbackInfo& GetHostCallbackInfo() const { return m_hostCallbackInfo; }

    // ---- Render -----------------------------------------------------------------------
    // Any thread but the render thread; applied at the start of the next render.
    OSStatus AddRenderNotification(AURenderCallback proc, void* refCon);
    OSStatus RemoveRenderNotification(AURenderCallback proc, void* refCon);

    // Render thread; real-time safe. One host render request for nFrames into ioData.
    OSStatus DoRender(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& timeStamp,
                      UInt32 bus, UInt32 nFrames, AudioBufferList& ioData) noexcept;
    // Render thread; must be real-time safe. Renders output bus into its element's buffer
    // list; by default renders once per time stamp through Render.
    virtual OSStatus RenderBus(AudioUnitRenderActionFlags& ioActionFlags,
                               const AudioTimeStamp& timeStamp, UInt32 bus, UInt32 nFrames);
    // Render thread; must be real-time safe. Renders every output.
    virtual OSStatus Render(AudioUnitRenderActionFlags& ioActionFlags,
                            const AudioTimeStamp& timeStamp, UInt32 nFrames);
    // Render thread. True, and the time stamp remembered, when its sample time differs from
    // the last rendered one.
    bool NeedsToRender(const AudioTimeStamp& timeStamp) noexcept;
    const AudioTimeStamp& CurrentRenderTime() const { return m_currentRenderTime; }
    void SetCurrentRenderTime(const AudioTimeStamp& timeStamp) { m_currentRenderTime = timeStamp; }
    // Sample time -1: the next render renders whatever its time stamp.
    void ResetRenderTime();

    // ---- Scheduled parameters ---------------------------------------------------------
    using ParameterEventList = std::vector<AudioUnitParameterEvent>;
    // Render thread. The events scheduled for the current render request.
    ParameterEventList& GetParamEventList() { return m_paramEventList; }
    // Render thread; real-time safe. Sorts events by start offset and splits nFrames at
    // every event start and ramp end, writing the events that cover each slice to their
    // elements before calling ProcessScheduledSlice for it.
    OSStatus ProcessForScheduledParams(ParameterEventList& events, UInt32 nFrames,
                                       void* userData) noexcept;
    // Render thread; must be real-time safe. One slice of ProcessForScheduledParams.
    virtual OSStatus ProcessScheduledSlice(void* userData, UInt32 startFrame, UInt32 sliceFrames,
                                           UInt32 framesRemaining);

    // The AUBase requests; anything else goes to ComponentBase.
    static OSStatus ComponentEntryDispatch(ComponentParameters* params, AUBase* This);

private:
    struct PropertyListener {
        AudioUnitPropertyID id;
        AudioUnitPropertyListenerProc proc;
        void* userData;
    };

    bool IsFastDispatchSelector(AudioUnitElement selector) const;
    void* FastDispatchProc(AudioUnitElement selector) const;
    OSStatus SetPresentPreset(const AUPreset& preset);
    void ReportRenderError(OSStatus error) noexcept;
    void DeliverPendingRenderErrorReport() noexcept;
    void CallPropertyListeners(AudioUnitPropertyID id, AudioUnitScope scope,
                               AudioUnitElement element);
    void AllocateIOBuffers();
    void DeallocateIOBuffers();

    std::array<AUScope, kNumberOfScopes> m_scopes;
    std::array<UInt32, kNumberOfScopes> m_initialElementCounts;
    bool m_elementsCreated = false;
    std::atomic<bool> m_initialized{false};
    UInt32 m_maxFramesPerSlice = kDefaultMaxFramesPerSlice;
    HostCallbackInfo m_hostCallbackInfo{};

    SInt32 m_presetNumber = kUntitledPresetNumber;
    const char* m_presetName = kUntitledPresetName;
    // Every preset name the unit has answered with stays here, so the pointers handed out
    // in preset records stay valid for the unit's life.
    std::set<std::string> m_presetNames;

    std::recursive_mutex m_listenerMutex;
    std::vector<PropertyListener> m_propertyListeners;
    std::atomic<OSStatus> m_lastRenderError{noErr};
    std::atomic<bool> m_renderErrorReportPending{false};

    AURenderNotifyList m_renderNotify;
    AudioTimeStamp m_currentRenderTime{};
    ParameterEventList m_paramEventList;
};

// One LV2 instance of Fluxet: it stands where the desktop host stood, driving one effect unit
// through the host API. It turns the control sequence into scheduled parameter events and MIDI
// at their frames, renders in slices the unit accepts, reports changes made inside the unit as
// patch:Set on the notification port, and keeps the unit's state as LV2 properties.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include "AUHostServices.h"
#include "AUTypes.h"
#include "FluxetLV2Metadata.h"
#include "FluxetParameters.h"

class MrvnFluxetLV2 {
public:
    // Frames per render call when the host names no maximum block length.
    static constexpr UInt32 kDefaultMaxFrames = 4096;
    // Larger host blocks are rendered in several calls rather than sizing buffers for them.
    static constexpr UInt32 kMaxFramesLimit = 65536;
    // Parameter events one render call can carry; beyond them a change holds from an earlier
    // frame of its slice.
    static constexpr UInt32 kMaxScheduledEvents = 256;

    // Main thread (LV2 instantiation). Null when the host lacks urid:map or the unit cannot
    // be opened or initialised; the reason is printed on standard error.
    static std::unique_ptr<MrvnFluxetLV2> Create(UInt32 channels, double sampleRate,
                                                 const char* bundlePath,
                                                 const LV2_Feature* const* features);
    ~MrvnFluxetLV2();
    MrvnFluxetLV2(const MrvnFluxetLV2&) = delete;
    MrvnFluxetLV2& operator=(const MrvnFluxetLV2&) = delete;

    // Audio thread or main thread, never during Run; real-time safe.
    void ConnectPort(uint32_t port, void* data);
    // Main thread (LV2 instantiation class): clears the delay lines and the render clock.
    void Activate();
    // Audio thread; real-time safe apart from the script host's lock around MIDI callbacks.
    void Run(uint32_t frames);

    // Main thread. The sixteen values and the current preset's name.
    LV2_State_Status Save(LV2_State_Store_Function store, LV2_State_Handle handle);
    // Main thread, possibly while Run is active: goes through the unit's state restore, each
    // value held to its range, and makes the next Run report every value.
    LV2_State_Status Restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle);

    UInt32 MaxFrames() const { return m_maxFrames; }
    AudioUnit Unit() const { return m_unit; }

    // An editor shown over this instance (the plug-in's UI, in the same process). Hosts may
    // clean an instance up before its UI, and on another thread than the UI's: the instance
    // tells each attached editor that it goes, under the process-wide EditorLock(), before any
    // of it goes. The editor holds the same lock whenever it reaches the instance.
    class EditorLink {
    public:
        // With EditorLock() held: nothing may reach the instance after this returns.
        virtual void InstanceGone() = 0;

    protected:
        ~EditorLink() = default;
    };
    static std::recursive_mutex& EditorLock();
    // Main thread, with EditorLock() held.
    void AttachEditor(EditorLink* link);
    void DetachEditor(EditorLink* link);

private:
    struct URIDs {
        LV2_URID atomFloat, atomDouble, atomInt, atomLong, atomBool, atomString, atomURID;
        LV2_URID atomFrameTime, atomSequence;
        LV2_URID midiEvent;
        LV2_URID patchSet, patchGet, patchProperty, patchValue;
        LV2_URID bufsizeMaxBlockLength;
        LV2_URID presetName;
        std::array<LV2_URID, kNumParameters> parameters;
        LV2_URID timePosition, timeBar, timeBarBeat, timeBeat, timeBeatUnit, timeBeatsPerBar,
            timeBeatsPerMinute, timeFrame, timeSpeed;
    };

    MrvnFluxetLV2(UInt32 channels, const LV2_URID_Map& map);
    bool Open(double sampleRate, const char* bundlePath);

    // One render call of a block: where it ends, how many events of the control sequence it
    // takes, and whether messages are left at its end that it could not take.
    struct RenderCall {
        UInt32 end;
        UInt32 events;
        bool messagesLeft;
    };
    // Render thread; real-time safe. The call from frame `start` of the block: up to `limit`
    // with the events of those frames (all that are left when `last`), unless more messages
    // for the unit's queue fall in it than the unit takes per call. Then it ends at the frame
    // of the first message too many, with the events before that frame; or, when that is
    // `start` itself, there with no frames and the events before that message.
    RenderCall PlanRenderCall(UInt32 start, UInt32 limit, bool last);
    // Render thread; real-time safe. A block with no events whose render has nothing to
    // report unless something changes meanwhile: it needs neither the event walk nor the forge.
    bool IsQuietBlock(uint32_t frames) const;
    void RunQuietBlock(uint32_t frames);
    // An event that goes to the unit's queue: a channel message, system exclusive, or the
    // host's transport (time:Position).
    bool IsMessageForTheQueue(const LV2_Atom& atom) const;
    bool IsURID(const LV2_Atom& atom) const;

    // Render thread; real-time safe. The control sequence's events in order, each 64-bit
    // aligned (a copy when the host's is not); null at the end.
    void BeginControlEvents();
    const LV2_Atom_Event* PeekControlEvent();
    void NextControlEvent();

    // Render thread; real-time safe.
    void HandleEvent(const LV2_Atom_Event& event, UInt32 offset);
    void HandlePatchSet(const LV2_Atom_Object& object, UInt32 offset);
    void HandlePatchGet(const LV2_Atom_Object& object);
    void HandleMIDI(const LV2_Atom& atom, UInt32 offset);
    void HandleTimePosition(const LV2_Atom_Object& object, UInt32 offset);
    void AddHostValue(AudioUnitParameterID id, UInt32 offset, Float32 value);
    void PushEvent(AudioUnitParameterID id, UInt32 offset, Float32 value);
    void RenderSlice(UInt32 start, UInt32 frames);
    void ApplyHostValuesDirectly();
    void NotifyOtherListeners(UInt32 mask);
    void WriteChanges(int64_t frame);
    bool WritePatchSet(int64_t frame, AudioUnitParameterID id);
    int ParameterForURID(LV2_URID urid) const;
    Float32 ParameterValue(AudioUnitParameterID id) const;
    // A restored value held to the parameter's range. Any thread.
    static Float32 RestoredValue(AudioUnitParameterID id, Float32 value);
    // A finite number from an atom body of the numeric types hosts send.
    bool ReadNumber(LV2_URID type, uint32_t size, const void* body, Float32& outValue) const;
    bool ReadNumber(const LV2_Atom* atom, Float64& outValue) const;
    bool ReadDouble(LV2_URID type, uint32_t size, const void* body, double& outValue) const;

    // Any thread: a parameter listener callback for changes made inside the unit.
    static void ParameterChanged(void* refCon, void* object, const AudioUnitParameter* parameter,
                                 AudioUnitParameterValue value);
    // Render thread: the unit pulls its input from the connected ports.
    static OSStatus PullInput(void* refCon, AudioUnitRenderActionFlags* flags,
                              const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                              AudioBufferList* ioData);

    const UInt32 m_channels;
    LV2_URID_Map m_map;
    URIDs m_uris{};
    LV2_Atom_Forge m_forge{};
    UInt32 m_maxFrames = kDefaultMaxFrames;
    double m_sampleRate = 0.0;

    AudioUnit m_unit = nullptr;
    bool m_initialized = false;
    // The unit's direct entries for the calls every block makes, and the storage they take.
    AudioUnitRenderProc m_render = nullptr;
    AudioUnitGetParameterProc m_getParameter = nullptr;
    void* m_unitStorage = nullptr;
    AUParameterListenerRef m_listener = nullptr;

    // Ports.
    const LV2_Atom_Sequence* m_control = nullptr;
    LV2_Atom_Sequence* m_notify = nullptr;
    std::array<const float*, 2> m_inputs{};
    std::array<float*, 2> m_outputs{};

    // Render-thread state.
    const uint8_t* m_controlBytes = nullptr;
    uint32_t m_controlSize = 0;
    uint32_t m_controlOffset = 0;
    alignas(8) std::array<uint8_t, kFluxetLV2AtomBufferSize> m_eventCopy{};
    alignas(8) std::array<uint8_t, kFluxetLV2AtomBufferSize> m_notifyScratch{};
    double m_sampleTime = 0.0;
    UInt32 m_inputOffset = 0;
    std::unique_ptr<std::byte[]> m_bufferListStorage;
    AudioBufferList* m_bufferList = nullptr;
    std::array<AudioUnitParameterEvent, kMaxScheduledEvents> m_events{};
    UInt32 m_numEvents = 0;
    // Parameters the host set in the current slice, and where each one's last event is.
    UInt32 m_hostTouched = 0;
    std::array<UInt32, kNumParameters> m_lastEvent{};
    // Parameters a patch:Get asked for in the current slice.
    UInt32 m_requested = 0;

    // Handed from other threads to Run: parameters changed inside the unit (bit per
    // parameter), and a full report after a restore.
    std::atomic<UInt32> m_changed{0};
    std::atomic<bool> m_reportAll{false};

    // Guarded by EditorLock().
    std::vector<EditorLink*> m_editors;
};

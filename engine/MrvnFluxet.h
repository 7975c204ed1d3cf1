// The Fluxet effect unit: one object per plug-in instance, a MIDI-controlled effect with one
// delay kernel per channel.
#pragma once

#include <memory>

#include "AUKernelBase.h"
#include "AUMIDIEffectBase.h"
#include "FluxetEngine.h"
#include "FluxetParameters.h"
#include "LuaMIDIHelper.h"
#include "MessageQueue.h"
#include "OSCHelper.h"

// Registration codes: a MIDI-controlled effect, subtype 'Flxt', manufacturer 'Mrvn'.
constexpr ComponentDescription kFluxetComponentDescription{FourCC("aumf"), FourCC("Flxt"),
                                                           FourCC("Mrvn"), 0, 0};

class MrvnFluxet : public AUMIDIEffectBase, public MrvnFluxetEngine {
public:
    // One channel: the framework's kernel around the engine's channel core.
    class CFluxetKernel : public AUKernelBase {
    public:
        using State = MrvnFluxetEngine::KernelState;

        // Main thread, during initialisation. Throws std::bad_alloc.
        CFluxetKernel(MrvnFluxet& owner, SInt32 channelIndex);
        ~CFluxetKernel() override;

        // Main thread, between renders: clears the delay line and the random state.
        void Reset() override;
        // Render thread; real-time safe. One sub-block of one mono channel; the owner's
        // sub-block offset is added to both pointers. Throws -10868 for more than one channel.
        void Process(const Float32* source, Float32* destination, UInt32 nFrames,
                     UInt32 numChannels, bool& ioSilence) override;

        // One pass of the sample loop with one record. Render thread; real-time safe.
        static Float32 ProcessCore(const Float32* source, Float32* dest, UInt32 frames,
                                   Float32* delay, UInt32 writeIndex, const PreComp& record,
                                   Float32 dryGain, Float32 wetGain, Float32 sampleRate,
                                   Float32 startPhase, SInt32 channelIndex, State& state,
                                   const State& common) {
            return ChannelCore::ProcessCore(source, dest, frames, delay, writeIndex, record,
                                            dryGain, wetGain, sampleRate, startPhase, channelIndex,
                                            state, common);
        }

        const ChannelCore& Core() const { return m_core; }
        // Render thread, between sub-blocks: the random shapes start afresh.
        void RestartModulation() { m_core.ClearRandomState(); }

    private:
        ChannelCore m_core;
    };

    // The unit's script host: keeps the eight GUI flags in the unit's live values.
    class FluxetLuaMIDIHelper : public MV::LuaMIDIHelper {
    public:
        // Main thread, in the unit's constructor.
        FluxetLuaMIDIHelper(MrvnFluxet& unit, MV::MessageQueue* messageQueue,
                            MV::OSCScriptInterface* oscHelper);
        // Stops the timers while this object is still whole.
        ~FluxetLuaMIDIHelper() override;

        // Any thread running script code; real-time safe. Index 0 to 7.
        void setGUIBoolValue(int index, int value) override;
        bool getGUIBoolValue(int index) const override;
        // Any thread running script code; real-time safe.
        void RequestLFOReset(Float32 phase) override;

    private:
        MrvnFluxet& m_unit;
        MV::DataToGui& m_liveValues;
    };

    static constexpr UInt32 kVersion = 0x00010201; // 1.2.1
    static constexpr const char* kProductName = "Fluxet";
    // MIDI and system-exclusive messages one render call takes. Every call hands on all it was
    // given, so a host with more in a block renders it in several calls (one of no frames
    // hands on what is due at a single frame).
    static constexpr UInt32 kMaxMessagesPerRender = MV::MessageQueue::kCapacity;

    // Main thread, under the component entry's open lock.
    explicit MrvnFluxet(AudioComponentInstance instance);
    ~MrvnFluxet() override;

    UInt32 Version() override { return kVersion; }
    // Main thread. Engine state, the OSC base port preference, the script host, the OSC
    // server and its tasks (listening at once when the offset asks for a port), then the
    // framework's channel check and kernels.
    OSStatus Initialize() override;
    // Main thread. Ends the OSC tasks, then the framework's clean-up.
    void Cleanup() override;
    // Main thread, between renders.
    OSStatus Reset(AudioUnitScope scope, AudioUnitElement element) override;

    // Main thread: the private properties, the editor, value names.
    OSStatus GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& outDataSize, Boolean& outWritable) override;
    OSStatus GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* outData) override;
    OSStatus SetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* inData, UInt32 inDataSize) override;

    // Any thread, the render thread included (scripts); real-time safe. Stores the value,
    // re-applies the OSC port for "OSC Port Offset", and (global scope) queues the change
    // for the OSC clients registered for it. A non-finite value is refused with -50 and the
    // old value kept.
    OSStatus SetParameter(AudioUnitParameterID paramID, AudioUnitScope scope,
                          AudioUnitElement element, AudioUnitParameterValue value,
                          UInt32 bufferOffset) override;

    // Render thread; real-time safe apart from the script lock. Renders once per time stamp,
    // then hands on the messages still queued (those beyond the block) and remembers the
    // block record for the next render call's crossfade. A call of no frames only hands on
    // every queued message, and leaves the time stamp to the render it belongs to.
    OSStatus RenderBus(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& timeStamp,
                       UInt32 bus, UInt32 nFrames) override;
    // Render thread; real-time safe apart from the script lock. Splits the slice at the
    // frame offsets of queued MIDI (counted from the start of the render call, whatever
    // slices the framework cut it into) and hands each message on between the audio before
    // it and the audio after it.
    OSStatus ProcessBufferLists(AudioUnitRenderActionFlags& ioActionFlags,
                                const AudioBufferList& inBuffer, AudioBufferList& outBuffer,
                                UInt32 nFrames) override;

    OSStatus GetParameterInfo(AudioUnitScope scope, AudioUnitParameterID paramID,
                              AudioUnitParameterInfo& outInfo) override;
    // Main thread. The framework's restore, then the OSC port from the restored offset.
    OSStatus RestoreState(plist_t inData) override;
    OSStatus GetParameterValueStrings(AudioUnitScope scope, AudioUnitParameterID paramID,
                                      plist_t* outStrings) override;
    OSStatus GetPresets(AUPresetList* outPresets) const override;
    // Main thread. Sets all sixteen values through the notifying parameter service.
    OSStatus NewFactoryPresetSet(const AUPreset& preset) override;

    UInt32 GetNumCustomUIComponents() override { return 1; }
    void GetUIComponentDescs(ComponentDescription* outDescs) override;
    // The ring length at 44.1 kHz.
    Float64 GetTailTime() override { return 65536.0 / 44100.0; }
    bool SupportsTail() override { return true; }

    // Main thread, during initialisation: the kernel of the next channel.
    std::unique_ptr<AUKernelBase> NewKernel() override;

    // Render thread (or whichever thread the host delivers MIDI on); real-time safe.
    // Queues the event for the next render: noErr when queued, -1 when the queue is full.
    OSStatus HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2,
                             UInt32 startFrame) override;
    OSStatus HandleSysEx(const UInt8* data, UInt32 length) override;

    virtual const char* GetPrimaryAppSupportName() { return kProductName; }
    virtual const char* GetSecondaryAppSupportName() { return kProductName; }
    virtual const char* GetSecondaryGuiFilename() { return nullptr; }

    // Render thread; real-time safe. The block record for the next sub-block of frames,
    // after a restart of the modulation that a script asked for.
    void DoPrecomps(UInt32 frames);
    // Any thread; real-time safe. From the next sub-block on, the main LFO starts at `phase`
    // (each channel at its spread offset from it) and the speed and depth LFOs and the random
    // shapes start afresh, as in an instance that starts there.
    void RequestModulationRestart(Float32 phase);

    // Main thread, from the close request while the instance still holds the unit: ends
    // the threads of its own (script timers) that reach it through its instance handle.
    void PreDestructor() override;

    // The MIDI scripting host (for hosts that set its time limits, and for tests).
    FluxetLuaMIDIHelper& ScriptHost() { return m_luaMIDIHelper; }

    // The OSC server (for hosts that show its port and published name, and for tests).
    MV::OSCHelper& OSCServer() { return m_oscHelper; }

    // The OSC port the port rule gave last; 0 while OSC is off. Any thread.
    SInt32 CurrentOSCPort() const { return m_oscPort.load(std::memory_order_relaxed); }

protected:
    // Render thread, between sub-blocks. One queued message, after the audio before it.
    virtual void DispatchQueuedMessage(const MV::MessageQueueItem& item);

private:
    // Render thread. Every message read and not yet handed on, then every one queued, at the
    // end of a render call of `frames` frames (or bypassed, at their own frames).
    void HandOnQueuedMessages(UInt32 frames);
    // Render thread. One message, with the transport clock standing at its frame of the call.
    void HandOn(const MV::MessageQueueItem& item, UInt32 frame);
    // Render thread. Whether a message splits the audio at its frame: a transport change only
    // when a script listens to the transport.
    bool SplitsAudio(const MV::MessageQueueItem& item) const;
    // Render thread; real-time safe. One sub-block: the record, then the kernels.
    OSStatus RenderSubBlock(AudioUnitRenderActionFlags& ioActionFlags,
                            const AudioBufferList& inBuffer, AudioBufferList& outBuffer,
                            UInt32 offset, UInt32 frames);
    // Render thread; real-time safe apart from the script lock. Frames [from, to) of the
    // render call (this slice starting at sliceStart), in sub-blocks that end at bar lines,
    // whose callbacks run in between.
    OSStatus RenderToBarLines(AudioUnitRenderActionFlags& ioActionFlags,
                              const AudioBufferList& inBuffer, AudioBufferList& outBuffer,
                              UInt32 sliceStart, UInt32 from, UInt32 to);
    // Render thread. Runs the bar callbacks due at frame `from` of the render call, once per
    // bar line, and returns the frame of the next bar line before `to` (else `to`).
    UInt32 HandBarLines(UInt32 from, UInt32 to);
    // Any thread; real-time safe. Base port plus the offset's whole part, or off for offset 0.
    void ApplyOSCPort(AudioUnitParameterValue offset);
    void ReapplyOSCPort();
    AudioUnitParameterValue GlobalValue(AudioUnitParameterID paramID) const {
        return paramID < kNumParameters ? m_globalRecords[paramID]->GetValue() : 0.0f;
    }

    // Declared before the script host that writes into it, so that it outlives it.
    MV::MessageQueue m_messageQueue;
    FluxetLuaMIDIHelper m_luaMIDIHelper;
    // After the script host, so that it ends first: its receive task calls into the scripts.
    MV::OSCHelper m_oscHelper;
    std::atomic<SInt32> m_oscPort{0};
    // Render thread: frames of the current render call processed so far, and a message read
    // from the queue that lies beyond the slice being processed.
    UInt32 m_renderPosition = 0;
    const MV::MessageQueueItem* m_heldMessage = nullptr;
    // Render thread: frames rendered since initialisation before the current render call, and
    // the latest bar line whose callbacks ran (valid once one ran).
    UInt64 m_callStartFrame = 0;
    UInt64 m_lastBarLine = 0;
    bool m_barLineHanded = false;
    // A restart of the modulation asked for by a script, taken by the next sub-block.
    std::atomic<bool> m_restartPending{false};
    std::atomic<Float32> m_restartPhase{0.0f};
    // The output's sample rate, read when the unit initialises.
    Float32 m_renderSampleRate = 44100.0f;
    // The global element's records, one per parameter.
    const ParameterMapEvent* m_globalRecords[kNumParameters] = {};
    const AUElement* m_globals = nullptr;
    // The global element's count of value writes when the render last read the values.
    UInt32 m_valueWritesRead = 0;
};

// The component entry the host calls for every request of every Fluxet instance.
OSStatus MrvnFluxetEntry(ComponentParameters* params, ComponentInstance instance);
// The view-component entry; the editor is offered through the editor property instead.
OSStatus MrvnFluxetViewEntry(ComponentParameters* params, ComponentInstance instance);

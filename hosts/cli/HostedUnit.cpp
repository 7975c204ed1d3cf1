#include "HostedUnit.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "AUHostServices.h"
#include "AUStateFile.h"
#include "AudioUnitAPI.h"
#include "CliSupport.h"
#include "MrvnFluxet.h"

namespace MrvnCli {

namespace {

// More whole numbers than this in a range are not asked about one by one.
constexpr double kMaxProbedValues = 10000.0;

void Check(OSStatus status, const std::string& what) {
    if (status != noErr) {
        ThrowFailure(what + ": " + DescribeStatus(status));
    }
}

} // namespace

std::string DescribeStatus(OSStatus status) {
    const char* words = nullptr;
    switch (status) {
    case ioErr:
        words = "input/output error";
        break;
    case fnfErr:
        words = "no such file or folder";
        break;
    case kAudio_ParamError:
        words = "invalid argument";
        break;
    case kAudio_MemFullError:
        words = "out of memory";
        break;
    case kAudioUnitErr_Initialized:
        words = "unit already initialised";
        break;
    case kAudioUnitErr_InvalidPropertyValue:
        words = "invalid value";
        break;
    case kAudioUnitErr_InvalidScope:
        words = "invalid scope";
        break;
    case kAudioUnitErr_Uninitialized:
        words = "unit not initialised";
        break;
    case kAudioUnitErr_FormatNotSupported:
        words = "format not supported";
        break;
    case kAudioUnitErr_TooManyFramesToProcess:
        words = "too many frames";
        break;
    case kAudioUnitErr_InvalidElement:
        words = "invalid element";
        break;
    case kAudioUnitErr_InvalidParameter:
        words = "invalid parameter";
        break;
    case kAudioUnitErr_InvalidProperty:
        words = "invalid property";
        break;
    default:
        words = "error";
        break;
    }
    return std::string(words) + " (" + std::to_string(status) + ")";
}

MrvnHostedUnit::MrvnHostedUnit(ComponentRoutine entry) {
    // Registered under Fluxet's codes: the saved state carries them.
    Check(AudioComponentInstanceNew(kFluxetComponentDescription, entry, &m_unit),
          "cannot open the effect unit");
}

MrvnHostedUnit::~MrvnHostedUnit() {
    AudioComponentInstanceDispose(m_unit);
}

std::vector<AUPreset> MrvnHostedUnit::FactoryPresets() const {
    AUPresetList list{};
    UInt32 size = sizeof(list);
    if (AudioUnitGetProperty(m_unit, kAudioUnitProperty_FactoryPresets, kAudioUnitScope_Global, 0,
                             &list, &size) != noErr ||
        list.presets == nullptr) {
        return {};
    }
    return std::vector<AUPreset>(list.presets, list.presets + list.count);
}

std::vector<MrvnParameterDescription> MrvnHostedUnit::Parameters() const {
    UInt32 size = 0;
    Boolean writable = false;
    if (AudioUnitGetPropertyInfo(m_unit, kAudioUnitProperty_ParameterList, kAudioUnitScope_Global,
                                 0, &size, &writable) != noErr) {
        return {};
    }
    std::vector<AudioUnitParameterID> ids(size / sizeof(AudioUnitParameterID));
    if (!ids.empty()) {
        Check(AudioUnitGetProperty(m_unit, kAudioUnitProperty_ParameterList, kAudioUnitScope_Global,
                                   0, ids.data(), &size),
              "cannot read the parameter list");
    }
    std::vector<MrvnParameterDescription> parameters;
    for (AudioUnitParameterID id : ids) {
        MrvnParameterDescription parameter{id, {}, {}};
        UInt32 infoSize = sizeof(parameter.info);
        Check(AudioUnitGetProperty(m_unit, kAudioUnitProperty_ParameterInfo, kAudioUnitScope_Global,
                                   id, &parameter.info, &infoSize),
              "cannot read parameter " + std::to_string(id));
        parameter.name =
            parameter.info.cfNameString != nullptr
                ? parameter.info.cfNameString
                : std::string(parameter.info.name,
                              strnlen(parameter.info.name, sizeof(parameter.info.name)));
        parameter.lowest = parameter.info.minValue;
        parameter.highest = parameter.info.maxValue;
        // The kernel and the value names cover every shape; the host is told only of the five
        // deterministic ones.
        if (id == kParam_Shape) {
            parameter.highest = std::max(parameter.highest, Float32(kNumShapes - 1));
        }
        parameters.push_back(std::move(parameter));
    }
    return parameters;
}

std::optional<std::string> MrvnHostedUnit::ValueName(AudioUnitParameterID id, Float32 value) const {
    AudioUnitParameterStringFromValue request{id, &value, nullptr};
    UInt32 size = sizeof(request);
    if (AudioUnitGetProperty(m_unit, kAudioUnitProperty_ParameterStringFromValue,
                             kAudioUnitScope_Global, 0, &request, &size) != noErr ||
        request.outString == nullptr) {
        return std::nullopt;
    }
    return std::string(request.outString);
}

std::vector<MrvnNamedValue>
MrvnHostedUnit::NamedValues(const MrvnParameterDescription& parameter) const {
    std::vector<MrvnNamedValue> named;
    if ((parameter.info.flags & kAudioUnitParameterFlag_ValuesHaveStrings) == 0) {
        return named;
    }
    const auto consider = [&](Float32 value) {
        std::optional<std::string> name = ValueName(parameter.id, value);
        if (!name) {
            return;
        }
        for (const MrvnNamedValue& known : named) {
            if (known.name == *name) {
                return;
            }
        }
        named.push_back({value, std::move(*name)});
    };
    const Float32 low = parameter.lowest;
    const Float32 high = parameter.highest;
    consider(low);
    const double first = std::ceil(double(low));
    const double last = std::floor(double(high));
    if (last - first < kMaxProbedValues) {
        for (double whole = first; whole <= last; whole += 1.0) {
            consider(Float32(whole));
        }
    }
    consider(high);
    consider(parameter.info.defaultValue);
    return named;
}

Float32 MrvnHostedUnit::GetParameter(AudioUnitParameterID id) const {
    Float32 value = 0.0f;
    Check(AudioUnitGetParameter(m_unit, id, kAudioUnitScope_Global, 0, &value),
          "cannot read parameter " + std::to_string(id));
    return value;
}

AUPreset MrvnHostedUnit::CurrentPreset() const {
    AUPreset preset{-1, nullptr};
    UInt32 size = sizeof(preset);
    Check(AudioUnitGetProperty(m_unit, kAudioUnitProperty_PresentPreset, kAudioUnitScope_Global, 0,
                               &preset, &size),
          "cannot read the current preset");
    return preset;
}

Float64 MrvnHostedUnit::TailTime() const {
    Float64 seconds = 0.0;
    UInt32 size = sizeof(seconds);
    if (AudioUnitGetProperty(m_unit, kAudioUnitProperty_TailTime, kAudioUnitScope_Global, 0,
                             &seconds, &size) != noErr) {
        return 0.0; // a unit without a tail
    }
    return seconds;
}

void MrvnHostedUnit::Configure(Float64 sampleRate, UInt32 channels, UInt32 maxFramesPerSlice) {
    const AudioStreamBasicDescription format = CanonicalStreamFormat(sampleRate, channels);
    const std::string streamText =
        std::to_string(channels) + " channel(s) at " + FormatFloat(Float32(sampleRate)) + " Hz";
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output}) {
        Check(AudioUnitSetProperty(m_unit, kAudioUnitProperty_StreamFormat, scope, 0, &format,
                                   sizeof(format)),
              "the effect unit refuses " + streamText);
    }
    Check(AudioUnitSetProperty(m_unit, kAudioUnitProperty_MaximumFramesPerSlice,
                               kAudioUnitScope_Global, 0, &maxFramesPerSlice,
                               sizeof(maxFramesPerSlice)),
          "the effect unit refuses blocks of " + std::to_string(maxFramesPerSlice) + " frames");
    const AURenderCallbackStruct callback{&MrvnHostedUnit::Pull, this};
    Check(AudioUnitSetProperty(m_unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                               0, &callback, sizeof(callback)),
          "cannot connect the input");
    m_channels = channels;
    m_bufferList = std::make_unique<std::byte[]>(AudioBufferListSize(channels));
}

void MrvnHostedUnit::RestoreState(const std::string& path) {
    std::string problem;
    const OSStatus status = AURestoreUnitStateFromFile(m_unit, path, &problem);
    if (status == kAudioUnitErr_InvalidPropertyValue) {
        ThrowFailure("cannot restore state " + Quoted(path) + ": not a saved state of this effect" +
                     (problem.empty() ? "" : " (" + problem + ")"));
    }
    Check(status, "cannot restore state " + Quoted(path));
}

void MrvnHostedUnit::SaveState(const std::string& path) {
    Check(AUSaveUnitStateToFile(m_unit, path), "cannot save state to " + Quoted(path));
}

void MrvnHostedUnit::LoadFactoryPreset(SInt32 number) {
    const AUPreset preset{number, nullptr};
    Check(AudioUnitSetProperty(m_unit, kAudioUnitProperty_PresentPreset, kAudioUnitScope_Global, 0,
                               &preset, sizeof(preset)),
          "cannot load preset " + std::to_string(number));
}

void MrvnHostedUnit::SetParameter(AudioUnitParameterID id, Float32 value) {
    const AudioUnitParameter parameter{m_unit, id, kAudioUnitScope_Global, 0};
    Check(AUParameterSet(nullptr, nullptr, &parameter, value, 0),
          "cannot set parameter " + std::to_string(id) + " to " + FormatFloat(value));
}

void MrvnHostedUnit::Initialize() {
    Check(AudioUnitInitialize(m_unit), "cannot initialise the effect unit");
}

OSStatus MrvnHostedUnit::Pull(void* refCon, AudioUnitRenderActionFlags* /*flags*/,
                              const AudioTimeStamp* /*timeStamp*/, UInt32 /*bus*/, UInt32 frames,
                              AudioBufferList* ioData) {
    const auto* self = static_cast<const MrvnHostedUnit*>(refCon);
    if (self->m_input == nullptr || ioData->mNumberBuffers != self->m_channels) {
        return kAudio_ParamError;
    }
    for (UInt32 c = 0; c < self->m_channels; ++c) {
        std::memcpy(ioData->mBuffers[c].mData, self->m_input[c] + self->m_inputOffset,
                    frames * sizeof(Float32));
    }
    return noErr;
}

void MrvnHostedUnit::Render(const Float32* const* input, Float32* const* output, UInt32 frames,
                            UInt32 offset) {
    auto* list = reinterpret_cast<AudioBufferList*>(m_bufferList.get());
    list->mNumberBuffers = m_channels;
    for (UInt32 c = 0; c < m_channels; ++c) {
        list->mBuffers[c] = AudioBuffer{1, UInt32(frames * sizeof(Float32)), output[c] + offset};
    }
    m_inputOffset = offset;
    AudioTimeStamp stamp{};
    stamp.mSampleTime = Float64(m_sampleTime);
    stamp.mFlags = kAudioTimeStampSampleTimeValid;
    AudioUnitRenderActionFlags flags = 0;
    m_input = input;
    const OSStatus status = AudioUnitRender(m_unit, &flags, &stamp, 0, frames, list);
    m_input = nullptr;
    Check(status, "rendering failed at frame " + std::to_string(m_sampleTime));
    m_sampleTime += frames;
}

bool MrvnHostedUnit::SendMIDIEvent(UInt8 status, UInt8 data1, UInt8 data2, UInt32 offset) {
    return MusicDeviceMIDIEvent(m_unit, status, data1, data2, offset) == noErr;
}

bool MrvnHostedUnit::SendSysEx(const UInt8* data, UInt32 length) {
    return MusicDeviceSysEx(m_unit, data, length) == noErr;
}

bool MrvnHostedUnit::SendTransport(const MrvnTransportEvent& event) {
    return AudioUnitSetProperty(m_unit, kMrvnProperty_TransportEvent, kAudioUnitScope_Global, 0,
                                &event, sizeof(event)) == noErr;
}

std::size_t MrvnHostedUnit::MessagesPerRender() {
    return MrvnFluxet::kMaxMessagesPerRender;
}

AUPreset FindFactoryPreset(const MrvnHostedUnit& unit, std::string_view text) {
    const std::vector<AUPreset> presets = unit.FactoryPresets();
    if (const auto number = ParseUnsigned(text)) {
        for (const AUPreset& preset : presets) {
            if (preset.presetNumber >= 0 &&
                static_cast<unsigned long long>(preset.presetNumber) == *number) {
                return preset;
            }
        }
        ThrowUsage("no factory preset numbered " + std::string(text), "fluxet presets");
    }
    for (const AUPreset& preset : presets) {
        if (preset.presetName != nullptr && EqualsIgnoringCase(preset.presetName, text)) {
            return preset;
        }
    }
    ThrowUsage("no factory preset named " + Quoted(text), "fluxet presets");
}

MrvnParameterSetting ParseParameterSetting(const MrvnHostedUnit& unit, std::string_view text) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        ThrowUsage("--set needs NAME=VALUE, not " + Quoted(text));
    }
    const std::string_view key = text.substr(0, equals);
    const std::string_view valueText = text.substr(equals + 1);

    const std::vector<MrvnParameterDescription> parameters = unit.Parameters();
    const MrvnParameterDescription* found = nullptr;
    const auto number = ParseUnsigned(key);
    for (const MrvnParameterDescription& parameter : parameters) {
        if (number ? parameter.id == *number : EqualsIgnoringCase(parameter.name, key)) {
            found = &parameter;
            break;
        }
    }
    if (found == nullptr) {
        ThrowUsage("no parameter " + (number ? std::string(key) : Quoted(key)), "fluxet params");
    }

    // A name first: "Speed (fine)=0" means the value the unit calls "0", its minimum.
    const std::vector<MrvnNamedValue> named = unit.NamedValues(*found);
    std::optional<Float32> value;
    for (const MrvnNamedValue& entry : named) {
        if (EqualsIgnoringCase(entry.name, valueText)) {
            value = entry.value;
            break;
        }
    }
    if (!value) {
        value = ParseFloat(valueText);
        if (!value) {
            std::string message = Quoted(valueText) + " is not a value of " + Quoted(found->name) +
                                  ": use a number from " + FormatFloat(found->lowest) + " to " +
                                  FormatFloat(found->highest);
            if (!named.empty()) {
                message += " or one of";
                for (std::size_t i = 0; i < named.size(); ++i) {
                    message += (i == 0 ? " " : ", ") + named[i].name;
                }
            }
            ThrowUsage(message);
        }
        if (*value < found->lowest || *value > found->highest) {
            ThrowUsage("value " + std::string(valueText) + " of " + Quoted(found->name) +
                       " is outside its range " + FormatFloat(found->lowest) + " to " +
                       FormatFloat(found->highest));
        }
    }
    std::string note;
    if (!found->Published(*value)) {
        const std::optional<std::string> name = unit.ValueName(found->id, *value);
        note = Quoted(found->name) + " " + FormatFloat(*value) + (name ? " (" + *name + ")" : "") +
               " is beyond its published range " + FormatFloat(found->info.minValue) + " to " +
               FormatFloat(found->info.maxValue) + " (hosts and the editor stay within it)";
    }
    return {found->id, *value, std::move(note)};
}

} // namespace MrvnCli

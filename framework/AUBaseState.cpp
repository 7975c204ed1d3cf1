// Saved state of AUBase: the dictionary with the unit's codes, the parameter blob, the preset
// name and element names.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "AUBase.h"
#include "AUError.h"

namespace {

constexpr const char* kVersionKey = "version";
constexpr const char* kTypeKey = "type";
constexpr const char* kSubtypeKey = "subtype";
constexpr const char* kManufacturerKey = "manufacturer";
constexpr const char* kDataKey = "data";
constexpr const char* kNameKey = "name";
constexpr const char* kRenderQualityKey = "render-quality";
constexpr const char* kCPULoadKey = "cpu-load";
constexpr const char* kElementNameKey = "element-name";
constexpr const char* kPartKey = "part";

constexpr std::size_t kRecordHeaderBytes = 12;
constexpr std::size_t kPairBytes = 8;

// Codes are stored as signed 32-bit numbers.
plist_t NewSigned32(UInt32 code) {
    return plist_new_uint(UInt64(SInt64(SInt32(code))));
}

// A 32-bit number, signed or unsigned, as stored; nothing when node is not one.
std::optional<SInt64> Read32(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) {
        return std::nullopt;
    }
    UInt64 raw = 0;
    plist_get_uint_val(node, &raw);
    const auto value = SInt64(raw);
    if (value < SInt64(INT32_MIN) || value > SInt64(UINT32_MAX)) {
        return std::nullopt;
    }
    return value;
}

bool MatchesCode(plist_t node, UInt32 code) {
    const std::optional<SInt64> value = Read32(node);
    return value && UInt32(*value) == code;
}

bool IsNumber(plist_t node) {
    const plist_type type = plist_get_node_type(node);
    return type == PLIST_UINT || type == PLIST_REAL;
}

std::optional<UInt32> ParseIndex(const char* text) {
    UInt32 value = 0;
    const char* end = text + std::strlen(text);
    const auto [ptr, error] = std::from_chars(text, end, value);
    if (error != std::errc() || ptr != end || ptr == text) {
        return std::nullopt;
    }
    return value;
}

// Calls visit(key, value) for each entry of a dictionary; stops when it answers false.
template <typename Visit> bool ForEachEntry(plist_t dict, Visit visit) {
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    bool ok = true;
    while (ok) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter, &key, &value);
        if (value == nullptr) {
            std::free(key);
            break;
        }
        ok = visit(key, value);
        std::free(key);
    }
    std::free(iter);
    return ok;
}

} // namespace

OSStatus AUBase::SaveState(plist_t* outData) {
    if (outData == nullptr) {
        return kAudio_ParamError;
    }
    const ComponentDescription& description = GetComponentDescription();
    plist_t dict = plist_new_dict();
    try {
        plist_dict_set_item(dict, kVersionKey, plist_new_uint(0));
        plist_dict_set_item(dict, kTypeKey, NewSigned32(description.componentType));
        plist_dict_set_item(dict, kSubtypeKey, NewSigned32(description.componentSubType));
        plist_dict_set_item(dict, kManufacturerKey, NewSigned32(description.componentManufacturer));

        std::vector<UInt8> blob;
        for (AudioUnitScope scope = kAudioUnitScope_Global; scope <= kAudioUnitScope_Output;
             ++scope) {
            const AUScope& theScope = m_scopes[scope];
            for (UInt32 i = 0; i < theScope.GetNumberOfElements(); ++i) {
                theScope.GetElement(i)->SaveState(scope, i, blob);
            }
        }
        plist_dict_set_item(
            dict, kDataKey,
            plist_new_data(reinterpret_cast<const char*>(blob.data()), blob.size()));
        plist_dict_set_item(dict, kNameKey, plist_new_string(m_presetName));

        UInt32 size = 0;
        Boolean writable = false;
        if (GetPropertyInfo(kAudioUnitProperty_RenderQuality, kAudioUnitScope_Global, 0, size,
                            writable) == noErr &&
            size == sizeof(UInt32)) {
            UInt32 quality = 0;
            if (GetProperty(kAudioUnitProperty_RenderQuality, kAudioUnitScope_Global, 0,
                            &quality) == noErr) {
                plist_dict_set_item(dict, kRenderQualityKey, plist_new_uint(quality));
            }
        }
        if (GetPropertyInfo(kAudioUnitProperty_CPULoad, kAudioUnitScope_Global, 0, size,
                            writable) == noErr &&
            size == sizeof(Float32)) {
            Float32 load = 0;
            if (GetProperty(kAudioUnitProperty_CPULoad, kAudioUnitScope_Global, 0, &load) ==
                noErr) {
                plist_dict_set_item(dict, kCPULoadKey, plist_new_real(load));
            }
        }

        plist_t names = nullptr;
        for (AudioUnitScope scope = 0; scope < kNumberOfScopes; ++scope) {
            const AUScope& theScope = m_scopes[scope];
            if (!theScope.HasElementWithName()) {
                continue;
            }
            plist_t scopeNames = plist_new_dict();
            for (UInt32 i = 0; i < theScope.GetNumberOfElements(); ++i) {
                const AUElement* element = theScope.GetElement(i);
                if (element->HasName()) {
                    plist_dict_set_item(scopeNames, std::to_string(i).c_str(),
                                        plist_new_string(element->GetName().c_str()));
                }
            }
            if (names == nullptr) {
                names = plist_new_dict();
            }
            plist_dict_set_item(names, std::to_string(scope).c_str(), scopeNames);
        }
        if (names != nullptr) {
            plist_dict_set_item(dict, kElementNameKey, names);
        }
    } catch (...) {
        plist_free(dict);
        throw;
    }
    *outData = dict;
    return noErr;
}

namespace {

// Walks the parameter records of a saved-state blob. With apply false it only checks them and
// answers what applying would answer; with apply true it writes the values.
class StateBlobWalker {
public:
    StateBlobWalker(AUBase& unit, const UInt8* data, std::size_t size)
        : m_unit(unit), m_data(data), m_size(size) {}

    OSStatus Walk(bool apply) const {
        std::size_t position = 0;
        while (m_size - position >= kRecordHeaderBytes) {
            const UInt8* header = m_data + position;
            const UInt32 scope = AUStateBlob::ReadUInt32(header);
            const UInt32 elementIndex = AUStateBlob::ReadUInt32(header + 4);
            const UInt32 count = AUStateBlob::ReadUInt32(header + 8);
            if (scope >= AUBase::kNumberOfScopes) {
                return kAudioUnitErr_InvalidScope;
            }
            AUElement* element = m_unit.GetElementIfExists(scope, elementIndex);
            if (element == nullptr) {
                break;
            }
            // A last record that claims more pairs than the blob holds is never read past the
            // blob's end: its complete pairs are restored and the walk stops there.
            const std::size_t available = (m_size - position - kRecordHeaderBytes) / kPairBytes;
            const std::size_t pairs = count < available ? count : available;
            const UInt8* pair = header + kRecordHeaderBytes;
            for (std::size_t i = 0; i < pairs; ++i, pair += kPairBytes) {
                const UInt32 paramID = AUStateBlob::ReadUInt32(pair);
                const auto value = std::bit_cast<Float32>(AUStateBlob::ReadUInt32(pair + 4));
                if (element->UsesIndexedParameters() &&
                    paramID >= element->GetNumberOfParameters()) {
                    return kAudioUnitErr_InvalidPropertyValue;
                }
                // A value that is not finite is refused, as a unit's own set refuses it.
                if (apply && std::isfinite(value)) {
                    element->SetParameter(paramID, value, false);
                }
            }
            if (count > available) {
                break;
            }
            position += kRecordHeaderBytes + std::size_t(count) * kPairBytes;
        }
        return noErr;
    }

private:
    AUBase& m_unit;
    const UInt8* m_data;
    std::size_t m_size;
};

// Checks an "element-name" dictionary: per scope key a dictionary of index keys to strings.
bool ValidElementNames(plist_t names) {
    if (plist_get_node_type(names) != PLIST_DICT) {
        return false;
    }
    return ForEachEntry(names, [](const char* scopeKey, plist_t scopeNames) {
        const std::optional<UInt32> scope = ParseIndex(scopeKey);
        if (!scope || *scope >= AUBase::kNumberOfScopes) {
            return true; // not a scope this unit has: ignored
        }
        if (plist_get_node_type(scopeNames) != PLIST_DICT) {
            return false;
        }
        return ForEachEntry(scopeNames, [](const char* elementKey, plist_t name) {
            return ParseIndex(elementKey).has_value() && plist_get_node_type(name) == PLIST_STRING;
        });
    });
}

} // namespace

OSStatus AUBase::RestoreState(plist_t inData) {
    if (inData == nullptr || plist_get_node_type(inData) != PLIST_DICT ||
        plist_dict_get_item(inData, kPartKey) != nullptr) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    const ComponentDescription& description = GetComponentDescription();
    const std::optional<SInt64> version = Read32(plist_dict_get_item(inData, kVersionKey));
    if (!version || *version != 0 ||
        !MatchesCode(plist_dict_get_item(inData, kSubtypeKey), description.componentSubType) ||
        !MatchesCode(plist_dict_get_item(inData, kManufacturerKey),
                     description.componentManufacturer)) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    // The type code is not compared, but a present key must still be a number.
    const plist_t type = plist_dict_get_item(inData, kTypeKey);
    const plist_t data = plist_dict_get_item(inData, kDataKey);
    const plist_t name = plist_dict_get_item(inData, kNameKey);
    const plist_t quality = plist_dict_get_item(inData, kRenderQualityKey);
    const plist_t load = plist_dict_get_item(inData, kCPULoadKey);
    const plist_t names = plist_dict_get_item(inData, kElementNameKey);
    if ((type != nullptr && !Read32(type)) ||
        (data != nullptr && plist_get_node_type(data) != PLIST_DATA) ||
        (name != nullptr && plist_get_node_type(name) != PLIST_STRING) ||
        (quality != nullptr && !Read32(quality)) || (load != nullptr && !IsNumber(load)) ||
        (names != nullptr && !ValidElementNames(names))) {
        return kAudioUnitErr_InvalidPropertyValue;
    }

    std::optional<StateBlobWalker> walker;
    if (data != nullptr) {
        uint64_t size = 0;
        const char* bytes = plist_get_data_ptr(data, &size);
        walker.emplace(*this, reinterpret_cast<const UInt8*>(bytes), std::size_t(size));
        const OSStatus checked = walker->Walk(false);
        if (checked != noErr) {
            return checked;
        }
    }

    // Everything is checked; from here on nothing is refused.
    if (walker) {
        walker->Walk(true);
    }
    SetCurrentPreset(kUntitledPresetNumber,
                     name != nullptr ? plist_get_string_ptr(name, nullptr) : kUntitledPresetName);
    PropertyChanged(kAudioUnitProperty_PresentPreset, kAudioUnitScope_Global, 0);

    if (quality != nullptr) {
        const auto value = UInt32(*Read32(quality));
        try {
            SetProperty(kAudioUnitProperty_RenderQuality, kAudioUnitScope_Global, 0, &value,
                        sizeof(value));
        } catch (const AUError&) {
            // A unit without a render quality ignores it.
        }
    }
    if (load != nullptr) {
        double value = 0.0;
        if (plist_get_node_type(load) == PLIST_REAL) {
            plist_get_real_val(load, &value);
        } else {
            UInt64 integer = 0;
            plist_get_uint_val(load, &integer);
            value = double(integer);
        }
        const auto value32 = Float32(value);
        try {
            SetProperty(kAudioUnitProperty_CPULoad, kAudioUnitScope_Global, 0, &value32,
                        sizeof(value32));
        } catch (const AUError&) {
            // A unit without a CPU-load limit ignores it.
        }
    }

    if (names != nullptr) {
        for (AudioUnitScope scope = 0; scope < kNumberOfScopes; ++scope) {
            const plist_t scopeNames = plist_dict_get_item(names, std::to_string(scope).c_str());
            if (scopeNames == nullptr) {
                continue;
            }
            bool changed = false;
            ForEachEntry(scopeNames, [&](const char* elementKey, plist_t elementName) {
                AUElement* element = m_scopes[scope].GetElement(*ParseIndex(elementKey));
                const char* text = plist_get_string_ptr(elementName, nullptr);
                if (element != nullptr && element->GetName() != text) {
                    element->SetName(text);
                    changed = true;
                }
                return true;
            });
            if (changed) {
                PropertyChanged(kAudioUnitProperty_ElementName, scope, 0);
            }
        }
    }
    return noErr;
}

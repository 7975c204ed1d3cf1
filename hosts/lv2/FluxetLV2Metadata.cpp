#include "FluxetLV2Metadata.h"

#include "FluxetParameters.h"

std::string FluxetLV2Symbol(const char* name) {
    std::string symbol;
    bool pendingSeparator = false;
    for (const char* p = name; *p != '\0'; ++p) {
        const char c = *p;
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit) {
            pendingSeparator = !symbol.empty();
            continue;
        }
        if (pendingSeparator) {
            symbol += '_';
            pendingSeparator = false;
        }
        // A symbol may not start with a digit.
        if (symbol.empty() && digit) {
            symbol += '_';
        }
        symbol += letter && c <= 'Z' ? char(c - 'A' + 'a') : c;
    }
    return symbol;
}

std::string FluxetLV2ParameterSymbol(AudioUnitParameterID id) {
    return FluxetLV2Symbol(astParamInfos[id].name);
}

std::string FluxetLV2ParameterURI(AudioUnitParameterID id) {
    return kFluxetLV2PropertyPrefix + FluxetLV2ParameterSymbol(id);
}

std::string FluxetLV2PresetURI(SInt32 index) {
    return kFluxetLV2PresetPrefix + FluxetLV2Symbol(astPresets[index].name);
}

#include "AUKernelBase.h"

#include "AUEffectBase.h"

AUKernelBase::~AUKernelBase() = default;

AudioUnitParameterValue AUKernelBase::GetParameter(AudioUnitParameterID paramID) const noexcept {
    const AUElement* globals = m_audioUnit->Globals();
    const ParameterMapEvent* record =
        globals != nullptr ? globals->FindParameter(paramID) : nullptr;
    return record != nullptr ? record->GetValue() : 0.0f;
}

Float64 AUKernelBase::GetSampleRate() const noexcept {
    return m_audioUnit->GetSampleRate();
}

#include "AUScope.h"

#include "AUBase.h"
#include "AUError.h"

void AUScope::Initialize(AUBase* creator, AudioUnitScope scope, UInt32 numElements) {
    m_creator = creator;
    m_scope = scope;
    m_elements.clear();
    SetNumberOfElements(numElements);
}

void AUScope::SetNumberOfElements(UInt32 numElements) {
    if (numElements < m_elements.size()) {
        m_elements.resize(numElements);
        return;
    }
    m_elements.reserve(numElements);
    while (m_elements.size() < numElements) {
        m_elements.push_back(m_creator->CreateElement(m_scope, UInt32(m_elements.size())));
    }
}

AUElement& AUScope::SafeGetElement(UInt32 index) const {
    AUElement* element = GetElement(index);
    if (element == nullptr) {
        ThrowAUError(kAudioUnitErr_InvalidElement, "element lookup");
    }
    return *element;
}

AUIOElement* AUScope::GetIOElement(UInt32 index) const noexcept {
    if (m_scope != kAudioUnitScope_Input && m_scope != kAudioUnitScope_Output) {
        return nullptr;
    }
    return static_cast<AUIOElement*>(GetElement(index));
}

bool AUScope::HasElementWithName() const {
    for (const auto& element : m_elements) {
        if (element->HasName()) {
            return true;
        }
    }
    return false;
}

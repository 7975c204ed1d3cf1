// A scope: the ordered elements of one of the unit's four fixed scopes.
#pragma once

#include <memory>
#include <vector>

#include "AUIOElement.h"

class AUScope {
public:
    AUScope() = default;
    AUScope(const AUScope&) = delete;
    AUScope& operator=(const AUScope&) = delete;

    // Creates numElements elements through the unit's element factory. Main thread.
    void Initialize(AUBase* creator, AudioUnitScope scope, UInt32 numElements);
    // Grows or shrinks the element list (elements past the new count are destroyed). Main
    // thread, while the unit is not initialised.
    void SetNumberOfElements(UInt32 numElements);

    AudioUnitScope GetScope() const { return m_scope; }
    UInt32 GetNumberOfElements() const { return UInt32(m_elements.size()); }

    // Lenient lookup: null when there is no such element. Real-time safe.
    AUElement* GetElement(UInt32 index) const noexcept {
        return index < m_elements.size() ? m_elements[index].get() : nullptr;
    }
    // Strict lookup: a missing element throws -10877.
    AUElement& SafeGetElement(UInt32 index) const;
    // Lenient lookup of an IO element (input and output scopes only). Real-time safe.
    AUIOElement* GetIOElement(UInt32 index) const noexcept;

    bool HasElementWithName() const;

private:
    AUBase* m_creator = nullptr;
    AudioUnitScope m_scope = kAudioUnitScope_Global;
    std::vector<std::unique_ptr<AUElement>> m_elements;
};

#include "ComponentBase.h"

ComponentBase::ComponentBase(AudioComponentInstance instance) : m_componentInstance(instance) {}

ComponentBase::~ComponentBase() = default;

const ComponentDescription& ComponentBase::GetComponentDescription() const {
    static const ComponentDescription kNone{};
    return m_componentInstance != nullptr ? m_componentInstance->description : kNone;
}

OSStatus ComponentBase::ComponentEntryDispatch(ComponentParameters* params, ComponentBase* This) {
    switch (params->what) {
    case kComponentCanDoSelect:
        switch (params->args.canDo.selector) {
        case kComponentOpenSelect:
        case kComponentCloseSelect:
        case kComponentCanDoSelect:
        case kComponentVersionSelect:
            return 1;
        default:
            return 0;
        }
    case kComponentVersionSelect:
        return OSStatus(This->Version());
    default:
        return badComponentSelector;
    }
}

// The base of every component: its host instance handle, open/close hooks and version.
#pragma once

#include "AUComponent.h"

class ComponentBase {
public:
    explicit ComponentBase(AudioComponentInstance instance);
    virtual ~ComponentBase();
    ComponentBase(const ComponentBase&) = delete;
    ComponentBase& operator=(const ComponentBase&) = delete;

    // Main thread, once, right after construction and before any other request.
    virtual void PostConstructor() {}
    // Main thread, once, right before destruction while the whole object still exists.
    virtual void PreDestructor() {}
    // Any thread; the answer of the version request (major 16 bits, minor 8, patch 8).
    virtual UInt32 Version() { return 0x00010000; }

    AudioComponentInstance GetComponentInstance() const { return m_componentInstance; }
    // The registration codes; all zero when there is no instance handle.
    const ComponentDescription& GetComponentDescription() const;

    // Serves the component-level requests (can-do, version); any other selector answers
    // badComponentSelector. Open and close are served by the entry itself.
    static OSStatus ComponentEntryDispatch(ComponentParameters* params, ComponentBase* This);

protected:
    AudioComponentInstance m_componentInstance;
};

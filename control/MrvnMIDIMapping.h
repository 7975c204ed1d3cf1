// The process-wide MIDI controller mapping: controllers (a control change or a polyphonic
// key pressure on one channel of one instance) drive parameters of instances.
#pragma once

#include <map>
#include <vector>

#include "AUTypes.h"

class AUBase;

class MrvnMIDIMapping {
public:
    enum : SInt32 {
        kKind_ControlChange = 0,
        kKind_PolyPressure = 2,
    };

    struct Controller {
        AUBase* instance;
        UInt32 guid; // process-wide number, used only while pending
        SInt32 channel;
        SInt32 kind;
        SInt32 number;

        bool operator<(const Controller& other) const;
        bool SameKey(const Controller& other) const { return !(*this < other) && !(other < *this); }
    };

    struct Endpoint {
        AUBase* instance;
        UInt32 guid; // used only while pending
        SInt32 parameterIndex;

        bool operator<(const Endpoint& other) const;
    };

    struct Range {
        Float32 minimum;
        Float32 maximum;
        UInt32 unit; // host unit code: 1 indexed, 2 boolean, 10 relative semitones
    };

    struct Mapping {
        Controller controller;
        Range range;
    };

    struct PendingMapping {
        Endpoint endpoint;
        Controller controller;
        Range range;
    };

    // Callers hold the instance tracker's region for all three.
    void Insert(const Controller& controller, const Endpoint& endpoint, const Range& range);
    void Resolve();
    void Respond(const Controller& controller, int value) const;

    // The value a 7-bit controller value v gives within range.
    static Float32 ScaleValue(const Range& range, int value);

    std::map<Endpoint, Mapping> byEndpoint;
    std::multimap<Controller, Endpoint> byController;
    std::vector<PendingMapping> pending;
};

#include "MrvnFluxet.h"

MrvnFluxet::FluxetLuaMIDIHelper::FluxetLuaMIDIHelper(MrvnFluxet& unit,
                                                     MV::MessageQueue* messageQueue,
                                                     MV::OSCScriptInterface* oscHelper)
    : MV::LuaMIDIHelper(&unit, messageQueue, oscHelper), m_unit(unit),
      m_liveValues(unit.LiveValues()) {}

MrvnFluxet::FluxetLuaMIDIHelper::~FluxetLuaMIDIHelper() {
    // A timer callback still running would call the overrides below on a destroyed object.
    StopTimers();
}

void MrvnFluxet::FluxetLuaMIDIHelper::setGUIBoolValue(int index, int value) {
    if (index >= 0 && index < MV::DataToGui::kNumGuiFlags) {
        m_liveValues.SetGuiFlag(index, value != 0);
    }
}

bool MrvnFluxet::FluxetLuaMIDIHelper::getGUIBoolValue(int index) const {
    return index >= 0 && index < MV::DataToGui::kNumGuiFlags && m_liveValues.GetGuiFlag(index);
}

void MrvnFluxet::FluxetLuaMIDIHelper::RequestLFOReset(Float32 phase) {
    m_unit.RequestModulationRestart(phase);
}

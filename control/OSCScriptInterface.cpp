#include "OSCScriptInterface.h"

#include <atomic>

namespace MV {

namespace {
std::atomic<LuaSendOSCFunction> g_luaSendOSC{nullptr};
} // namespace

void SetLuaSendOSCFunction(LuaSendOSCFunction function) {
    g_luaSendOSC.store(function);
}

LuaSendOSCFunction GetLuaSendOSCFunction() {
    return g_luaSendOSC.load();
}

} // namespace MV

// The hermetic surroundings of this folder's test programs.
#pragma once

namespace MV::test {

// The "OSC Base Port" the preferences of the test programs hold: a base with every offset of
// "OSC Port Offset" (1 to 100) free for UDP when the program started. OSC servers listen on
// 127.0.0.1 only.
int LV2TestOSCBasePort();

} // namespace MV::test

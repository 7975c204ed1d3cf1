// The user's persistent settings: one property list per preferences domain in the user's
// configuration folder. Any thread except the render thread (they read and write a file).
#pragma once

#include <string>

// The domain the effect's settings live in.
constexpr const char* kPreferencesDomain = "com.morvane.Fluxet";

// The keys the effect uses, and their defaults.
constexpr const char* kPrefOSCBasePort = "OSC Base Port";
constexpr int kDefaultOSCBasePort = 7000;
constexpr const char* kPrefEnableEyeCandy = "Enable eye candy";
constexpr const char* kPrefEnableConstantRedraw = "Enable constant redraw";
constexpr const char* kPrefEnableFloatingTooltip = "Enable floating tooltip";
constexpr const char* kPrefSkin = "Skin";
// The address OSC servers listen on: empty (any address, reachable from the network) or, for
// example, "127.0.0.1" to accept only programs on this computer.
constexpr const char* kPrefOSCBindAddress = "OSC Bind Address";
// An integer used as a boolean (default 0): whether OSC answers and update registrations may
// go to hosts other than the one a request came from.
constexpr const char* kPrefOSCReplyToOtherHosts = "OSC Reply To Other Hosts";

// The stored integer, or `defaultValue` when the key is absent or its value is not a
// number that fits an int. A process-wide override (below) comes before both.
int GetPrefInt(const char* key, int defaultValue);

// Stores the value and writes the preferences out at once, keeping every other key.
void SetPrefInt(const char* key, int value);

// When the stored value is a string, `out` receives it; otherwise `out` is left as it was.
void GetPrefString(const char* key, std::string& out);

// Stores a string value and writes the preferences out at once.
void SetPrefString(const char* key, const std::string& value);

namespace MV {

// Makes GetPrefInt answer `value` for `key` in this process, whatever the file holds (a
// command-line option for one run); nothing is written. Any thread.
void SetPrefIntOverride(const char* key, int value);
// Removes the override of `key`; the stored value applies again.
void ClearPrefIntOverride(const char* key);

// Where the domain's preferences live: $XDG_CONFIG_HOME (when an absolute path, else
// ~/.config) + "/com.morvane.Fluxet.plist". Empty when no home folder is known.
std::string PreferencesFilePath();

} // namespace MV

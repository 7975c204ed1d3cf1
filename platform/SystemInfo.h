// Clocks, names and messages that the system provides.
#pragma once

#include <cstdint>
#include <string>

namespace MV {

// Nanoseconds since the system started (CLOCK_MONOTONIC). Any thread; real-time safe.
std::uint64_t UpTimeNanoseconds();

// The computer's host name, or an empty string when the system has none.
std::string ComputerName();

// The value of an environment variable, empty when it is unset. Any thread: the process
// changes its environment only while it sets itself up (and tests, on their own thread).
std::string EnvironmentValue(const char* name);

// The user's home folder: $HOME when it is an absolute path, else the password database's
// entry; empty when neither is known.
std::string HomeDirectory();

// Shows a message the user should not miss: one line on standard error, plus whatever
// the installed window hook adds. Any non-real-time thread.
void Alert(const std::string& text);

// Called by Alert after the line is printed (for instance to open a message window when
// a display is open); null removes it. Any thread.
using AlertWindowHook = void (*)(const char* text);
void SetAlertWindowHook(AlertWindowHook hook);

} // namespace MV

// Saved-state dictionaries as XML property-list files.
#pragma once

#include <string>

#include <plist/plist.h>

#include "AUTypes.h"

// Main thread. Writes state as an XML property list to path, atomically: a temporary file in
// the same folder is written, flushed to disk and renamed over path. -43 when the folder
// does not exist, -36 for other input/output failures.
OSStatus AUWriteStateFile(plist_t state, const std::string& path);
// Main thread. Reads a property-list file (XML or binary) holding a dictionary into a new
// plist that the caller frees. -43 when the file does not exist, -10851 when it is not a
// property-list dictionary.
OSStatus AUReadStateFile(const std::string& path, plist_t* outState);

// Main thread. The unit's saved state (its class-information property) to a file and back.
OSStatus AUSaveUnitStateToFile(AudioUnit unit, const std::string& path);
OSStatus AURestoreUnitStateFromFile(AudioUnit unit, const std::string& path);

// Saved-state dictionaries as property-list files, and the limits every property list this
// system reads (saved states, preferences) is held to before it is parsed.
#pragma once

#include <cstddef>
#include <string>

#include <plist/plist.h>

#include "AUTypes.h"

// A saved state or a preferences file is a few kilobytes and nests four levels at most; these
// limits are far beyond that. They exist because the parser builds, and frees, the tree
// recursively: a file nested a few hundred thousand levels deep would overflow the stack of
// whoever reads it, and a binary list whose values share children would expand exponentially.
constexpr std::size_t kAUPropertyListMaxBytes = std::size_t(1) << 20;
// Elements inside one another, the outermost (for XML, "plist") counted as 1.
constexpr std::size_t kAUPropertyListMaxDepth = 128;
// Values a parse may produce (a binary list's shared values count once per use).
constexpr std::size_t kAUPropertyListMaxValues = std::size_t(1) << 18;

// Any thread. Parses an XML or binary property list of size bytes into a new plist (any root
// type) that the caller frees. -10851 when the bytes break a limit above or are not a property
// list; then *outProblem, when given, says which in a few words.
OSStatus AUPropertyListFromMemory(const char* bytes, std::size_t size, plist_t* outList,
                                  std::string* outProblem = nullptr);

// Main thread. Writes state as an XML property list to path, atomically: a temporary file in
// the same folder is written, flushed to disk and renamed over path. -43 when the folder
// does not exist, -36 for other input/output failures.
OSStatus AUWriteStateFile(plist_t state, const std::string& path);
// Main thread. Reads a property-list file (XML or binary) holding a dictionary into a new
// plist that the caller frees. -43 when the file does not exist, -10851 when it is not a
// property-list dictionary within the limits above (*outProblem, when given, says why).
OSStatus AUReadStateFile(const std::string& path, plist_t* outState,
                         std::string* outProblem = nullptr);

// Main thread. The unit's saved state (its class-information property) to a file and back.
// A file the reader refuses is never handed to the unit.
OSStatus AUSaveUnitStateToFile(AudioUnit unit, const std::string& path);
OSStatus AURestoreUnitStateFromFile(AudioUnit unit, const std::string& path,
                                    std::string* outProblem = nullptr);

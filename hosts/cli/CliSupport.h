// What every command of the `fluxet` program shares: its streams, the unit it hosts, the two
// kinds of failure and a few text helpers.
#pragma once

#include <atomic>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "AUComponent.h"

namespace MrvnCli {

// Exit statuses.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// A failure that ends a command: the message (without the "fluxet: " prefix) and its status.
// Usage errors are printed with a hint: the command line that helps, by default the
// command's --help.
class MrvnCliError : public std::runtime_error {
public:
    MrvnCliError(int status, const std::string& message, std::string hint = {})
        : std::runtime_error(message), m_status(status), m_hint(std::move(hint)) {}
    int Status() const { return m_status; }
    const std::string& Hint() const { return m_hint; }

private:
    int m_status;
    std::string m_hint;
};

[[noreturn]] void ThrowUsage(const std::string& message, const std::string& hint = {});
[[noreturn]] void ThrowFailure(const std::string& message);

// Where a command prints and what it hosts. Tests run commands in-process with string
// streams and, where they observe the unit, with an entry of their own.
struct MrvnCliContext {
    std::ostream& out;
    std::ostream& err;
    // The component every command opens.
    ComponentRoutine entry;
    // Progress bars are drawn only on a terminal.
    bool errIsTerminal = false;
    // Set from a signal handler; long work stops at the next block.
    const std::atomic<bool>* interrupted = nullptr;

    bool Interrupted() const {
        return interrupted != nullptr && interrupted->load(std::memory_order_relaxed);
    }
};

// The shortest decimal text that reads back as the same float.
std::string FormatFloat(float value);
// A number as a whole float, or nothing when the text is not one number or not finite.
std::optional<float> ParseFloat(std::string_view text);
// A non-negative decimal integer, or nothing.
std::optional<unsigned long long> ParseUnsigned(std::string_view text);
bool EqualsIgnoringCase(std::string_view a, std::string_view b);
// A four-character code as its four characters, or as a decimal number when any of them is
// not printable.
std::string FourCharCodeText(UInt32 code);
// Quotes a path or name for a message: 'text'.
std::string Quoted(std::string_view text);

} // namespace MrvnCli

#include "CliSupport.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace MrvnCli {

void ThrowUsage(const std::string& message, const std::string& hint) {
    throw MrvnCliError(kExitUsage, message, hint);
}

void ThrowFailure(const std::string& message) {
    throw MrvnCliError(kExitFailure, message);
}

std::string FormatFloat(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof(text), value);
    return std::string(text, result.ptr);
}

std::optional<float> ParseFloat(std::string_view text) {
    // from_chars takes no leading '+'; accept it as people write it.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    float value = 0.0f;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<unsigned long long> ParseUnsigned(std::string_view text) {
    unsigned long long value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string FourCharCodeText(UInt32 code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<unsigned char>((code >> shift) & 0xFF);
        if (!std::isprint(c)) {
            return std::to_string(static_cast<SInt32>(code));
        }
        text.push_back(static_cast<char>(c));
    }
    return text;
}

std::string Quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

} // namespace MrvnCli

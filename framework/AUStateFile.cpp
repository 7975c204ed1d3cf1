#include "AUStateFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AudioUnitAPI.h"

namespace {

OSStatus ErrnoResult(int error) {
    return error == ENOENT ? fnfErr : ioErr;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= std::size_t(written);
    }
    return true;
}

struct XmlText {
    char* text = nullptr;
    uint32_t length = 0;
    ~XmlText() { plist_to_xml_free(text); }
};

// ---------------------------------------------------------------------------------------------
// The limits of a property list, checked before the parser sees it

enum class ListProblem { kNone, kTooDeep, kTooManyValues, kMalformed };

constexpr std::size_t kNotFound = std::string_view::npos;

// Where needle starts at or after from, passing over double-quoted text as the parser does
// inside tags and declarations.
std::size_t FindOutsideQuotes(std::string_view text, std::size_t from, std::string_view needle) {
    for (std::size_t at = from; at + needle.size() <= text.size(); ++at) {
        if (text.compare(at, needle.size(), needle) == 0) {
            return at;
        }
        if (text[at] == '"') {
            at = text.find('"', at + 1);
            if (at == kNotFound) {
                return kNotFound;
            }
        }
    }
    return kNotFound;
}

// Just past the end of what opens at `at` and holds no elements (declaration, comment,
// character data, document type), or kNotFound when it does not end.
std::size_t SkipMarkup(std::string_view text, std::size_t at) {
    const std::string_view rest = text.substr(at);
    const auto past = [](std::size_t end, std::size_t length) {
        return end == kNotFound ? kNotFound : end + length;
    };
    if (rest.starts_with("<?")) {
        return past(FindOutsideQuotes(text, at + 2, "?>"), 2);
    }
    if (rest.starts_with("<!--")) {
        return past(text.find("-->", at + 4), 3);
    }
    if (rest.starts_with("<![CDATA[")) {
        return past(text.find("]]>", at + 9), 3);
    }
    // A document type, perhaps with an internal subset in brackets.
    const std::size_t end =
        std::min(FindOutsideQuotes(text, at + 2, "["), FindOutsideQuotes(text, at + 2, ">"));
    if (end != kNotFound && text[end] == '[') {
        return past(FindOutsideQuotes(text, end, "]>"), 2);
    }
    return past(end, 1);
}

// The nesting of an XML property list's elements, read as the parser reads them. A closing
// tag that does not close the innermost open element makes the list malformed here, so that
// no element the parser nests can be hidden from the count.
ListProblem ScanXml(std::string_view text) {
    // As for the parser, a document starts with a tag; anything else is not looked into. XML
    // holds no NUL character, and the parser would make one part of a string that its own
    // string accessors then refuse with an assertion.
    std::size_t at = text.find_first_not_of(" \t\r\n");
    if (at == kNotFound || text[at] != '<' || text.find('\0') != kNotFound) {
        return ListProblem::kMalformed;
    }
    std::vector<std::string_view> open;
    while ((at = text.find('<', at)) != kNotFound) {
        if (text.compare(at, 2, "<?") == 0 || text.compare(at, 2, "<!") == 0) {
            at = SkipMarkup(text, at);
            if (at == kNotFound) {
                return ListProblem::kMalformed;
            }
            continue;
        }
        const bool closing = text.compare(at, 2, "</") == 0;
        const std::size_t nameStart = at + (closing ? 2 : 1);
        const std::size_t end = FindOutsideQuotes(text, nameStart, ">");
        if (end == kNotFound) {
            return ListProblem::kMalformed;
        }
        const std::size_t nameEnd = std::min(end, text.find_first_of(" \t\r\n/>", nameStart));
        const std::string_view name = text.substr(nameStart, nameEnd - nameStart);
        if (closing) {
            if (open.empty() || open.back() != name) {
                return ListProblem::kMalformed;
            }
            open.pop_back();
        } else if (text[end - 1] != '/') {
            open.push_back(name);
            // Without the outer "plist" element the values start one level further out; so
            // that the list written out reads back, they may not go deeper than with it.
            if (open.size() + (open.front() == "plist" ? 0 : 1) > kAUPropertyListMaxDepth) {
                return ListProblem::kTooDeep;
            }
        }
        at = end + 1;
    }
    return ListProblem::kNone;
}

// A binary property list ("bplist00"): objects, a table of their offsets and a trailer. Every
// object the top object reaches is checked to lie inside the object area, and the graph of
// arrays, sets and dictionaries is walked without recursion for its depth, its cycles and the
// number of values a parse would make of it (shared objects are parsed once per use).
class BinaryListScan {
public:
    explicit BinaryListScan(std::string_view bytes)
        : m_data(reinterpret_cast<const std::uint8_t*>(bytes.data())), m_size(bytes.size()) {}

    ListProblem Scan() {
        constexpr std::size_t kHeader = 8;
        constexpr std::size_t kTrailer = 32;
        if (m_size < kHeader + kTrailer) {
            return ListProblem::kMalformed;
        }
        const std::uint8_t* trailer = m_data + m_size - kTrailer;
        m_offsetSize = trailer[6];
        m_refSize = trailer[7];
        const std::uint64_t count = Read(trailer + 8, 8);
        const std::uint64_t top = Read(trailer + 16, 8);
        m_table = Read(trailer + 24, 8);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8 ||
            m_table < kHeader || m_table > m_size - kTrailer || count == 0 ||
            count > (m_size - kTrailer - m_table) / m_offsetSize || top >= count) {
            return ListProblem::kMalformed;
        }
        m_count = std::size_t(count);
        return Walk(std::size_t(top));
    }

private:
    struct Container {
        std::size_t index;
        std::size_t refs; // offset of the first reference
        std::size_t refCount;
        std::size_t next = 0;
        std::uint32_t depth = 1;
        std::uint32_t values = 1;
    };

    static std::uint64_t Read(const std::uint8_t* at, unsigned bytes) {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < bytes; ++i) {
            value = (value << 8) | at[i];
        }
        return value;
    }

    // The object's references (none for a leaf); false when it does not fit the object area.
    bool Inspect(std::size_t index, std::size_t& refs, std::size_t& refCount) const {
        const std::uint64_t offset = Read(m_data + m_table + index * m_offsetSize, m_offsetSize);
        if (offset < 8 || offset >= m_table) {
            return false;
        }
        std::size_t at = std::size_t(offset) + 1;
        const unsigned type = m_data[offset] >> 4;
        const unsigned info = m_data[offset] & 0x0F;
        std::uint64_t length = info;
        const bool counted = type == 0x4 || type == 0x5 || type == 0x6 || type >= 0xA;
        if (counted && info == 0x0F) {
            // The length follows as an integer object of 1, 2, 4 or 8 bytes.
            if (at >= m_table || (m_data[at] >> 4) != 0x1 || (m_data[at] & 0x0F) > 3) {
                return false;
            }
            const unsigned bytes = 1u << (m_data[at] & 0x0F);
            if (bytes > m_table - at - 1) {
                return false;
            }
            length = Read(m_data + at + 1, bytes);
            at += 1 + bytes;
        }
        std::uint64_t unit = 1;
        refCount = 0;
        switch (type) {
        case 0x0: // null, booleans, fill
            length = 0;
            break;
        case 0x1: // integer
        case 0x2: // real
            if (info > 4) {
                return false;
            }
            length = std::uint64_t(1) << info;
            break;
        case 0x3: // date
            length = 8;
            break;
        case 0x4: // data
        case 0x5: // ASCII string
            break;
        case 0x6: // UTF-16 string
            unit = 2;
            break;
        case 0x8: // UID
            length = info + 1;
            break;
        case 0xA: // array
        case 0xC: // set
            unit = m_refSize;
            refCount = length;
            break;
        case 0xD: // dictionary: the keys' references, then the values'
            unit = m_refSize * 2;
            refCount = length * 2;
            break;
        default:
            return false;
        }
        if (length > (m_table - at) / unit) {
            return false;
        }
        // A string holding a NUL character parses, but the library's string accessors end the
        // process with an assertion when they meet it.
        if (type == 0x5 && std::memchr(m_data + at, 0, length) != nullptr) {
            return false;
        }
        for (std::size_t i = 0; type == 0x6 && i < length; ++i) {
            if (m_data[at + 2 * i] == 0 && m_data[at + 2 * i + 1] == 0) {
                return false;
            }
        }
        refs = at;
        return true;
    }

    ListProblem Walk(std::size_t top) {
        // Per object: 0 not seen, 1 on the current path, 2 done.
        std::vector<std::uint8_t> seen(m_count, 0);
        std::vector<std::uint32_t> depth(m_count, 0);
        std::vector<std::uint32_t> values(m_count, 0);
        const auto saturated = [](std::uint64_t n) {
            return std::uint32_t(std::min<std::uint64_t>(n, kAUPropertyListMaxValues + 1));
        };
        std::vector<Container> path;
        const auto enter = [&](std::size_t index) {
            Container container{index, 0, 0};
            if (!Inspect(index, container.refs, container.refCount)) {
                return ListProblem::kMalformed;
            }
            // One level less than the limit: written as XML, the list gains the outer element.
            if (path.size() == kAUPropertyListMaxDepth - 1) {
                return ListProblem::kTooDeep;
            }
            seen[index] = 1;
            path.push_back(container);
            return ListProblem::kNone;
        };
        if (const ListProblem problem = enter(top); problem != ListProblem::kNone) {
            return problem;
        }
        while (true) {
            Container& current = path.back();
            if (current.next == current.refCount) {
                seen[current.index] = 2;
                depth[current.index] = current.depth;
                values[current.index] = current.values;
                const Container done = current;
                path.pop_back();
                if (path.empty()) {
                    return done.values > kAUPropertyListMaxValues ? ListProblem::kTooManyValues
                                                                  : ListProblem::kNone;
                }
                Container& parent = path.back();
                parent.depth = std::max(parent.depth, done.depth + 1);
                parent.values = saturated(std::uint64_t(parent.values) + done.values);
                continue;
            }
            const std::uint64_t child =
                Read(m_data + current.refs + current.next * m_refSize, m_refSize);
            ++current.next;
            if (child >= m_count || seen[child] == 1) {
                return ListProblem::kMalformed; // a missing object, or a cycle
            }
            if (seen[child] == 2) {
                current.depth = std::max(current.depth, depth[child] + 1);
                current.values = saturated(std::uint64_t(current.values) + values[child]);
                continue;
            }
            if (const ListProblem problem = enter(std::size_t(child));
                problem != ListProblem::kNone) {
                return problem;
            }
        }
    }

    const std::uint8_t* m_data;
    std::size_t m_size;
    unsigned m_offsetSize = 0;
    unsigned m_refSize = 0;
    std::size_t m_table = 0;
    std::size_t m_count = 0;
};

} // namespace

OSStatus AUPropertyListFromMemory(const char* bytes, std::size_t size, plist_t* outList,
                                  std::string* outProblem) {
    if (outList == nullptr) {
        return kAudio_ParamError;
    }
    *outList = nullptr;
    const auto refuse = [outProblem](const std::string& problem) {
        if (outProblem != nullptr) {
            *outProblem = problem;
        }
        return kAudioUnitErr_InvalidPropertyValue;
    };
    if (size > kAUPropertyListMaxBytes) {
        return refuse("larger than " + std::to_string(kAUPropertyListMaxBytes >> 20) + " MiB");
    }
    if (bytes == nullptr || size == 0) {
        return refuse("not a property list");
    }
    const std::string_view text(bytes, size);
    const bool binary = plist_is_binary(bytes, uint32_t(size)) != 0;
    switch (binary ? BinaryListScan(text).Scan() : ScanXml(text)) {
    case ListProblem::kNone:
        break;
    case ListProblem::kTooDeep:
        return refuse("nested deeper than " + std::to_string(kAUPropertyListMaxDepth) + " levels");
    case ListProblem::kTooManyValues:
        return refuse("more than " + std::to_string(kAUPropertyListMaxValues) + " values");
    case ListProblem::kMalformed:
        return refuse("not a property list");
    }
    plist_t list = nullptr;
    if (binary) {
        plist_from_bin(bytes, uint32_t(size), &list);
    } else {
        plist_from_xml(bytes, uint32_t(size), &list);
    }
    if (list == nullptr) {
        return refuse("not a property list");
    }
    *outList = list;
    return noErr;
}

OSStatus AUWriteStateFile(plist_t state, const std::string& path) {
    if (state == nullptr || path.empty()) {
        return kAudio_ParamError;
    }
    XmlText xml;
    plist_to_xml(state, &xml.text, &xml.length);
    if (xml.text == nullptr) {
        return kAudioUnitErr_InvalidPropertyValue;
    }

    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return ErrnoResult(errno);
    }
    bool ok = ::fchmod(fd, 0644) == 0 && WriteAll(fd, xml.text, xml.length) && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return ErrnoResult(error);
    }
    // Make the rename itself durable; a folder that cannot be opened only loses that.
    const std::string folder = std::filesystem::path(path).parent_path().string();
    const int folderFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return noErr;
}

OSStatus AUReadStateFile(const std::string& path, plist_t* outState, std::string* outProblem) {
    if (outState == nullptr) {
        return kAudio_ParamError;
    }
    *outState = nullptr;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return ErrnoResult(errno);
    }
    // One byte beyond the limit tells a file that is too large without reading all of it (a
    // pipe has no size to ask for).
    std::vector<char> bytes(kAUPropertyListMaxBytes + 1);
    std::size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        done += std::size_t(got);
    }
    ::close(fd);
    if (error != 0) {
        return ErrnoResult(error);
    }
    plist_t state = nullptr;
    const OSStatus result = AUPropertyListFromMemory(bytes.data(), done, &state, outProblem);
    if (result != noErr) {
        return result;
    }
    if (plist_get_node_type(state) != PLIST_DICT) {
        plist_free(state);
        if (outProblem != nullptr) {
            *outProblem = "not a property-list dictionary";
        }
        return kAudioUnitErr_InvalidPropertyValue;
    }
    *outState = state;
    return noErr;
}

OSStatus AUSaveUnitStateToFile(AudioUnit unit, const std::string& path) {
    plist_t state = nullptr;
    UInt32 size = sizeof(state);
    const OSStatus result = AudioUnitGetProperty(unit, kAudioUnitProperty_ClassInfo,
                                                 kAudioUnitScope_Global, 0, &state, &size);
    if (result != noErr) {
        return result;
    }
    const std::unique_ptr<void, void (*)(plist_t)> owner(state, plist_free);
    return AUWriteStateFile(state, path);
}

OSStatus AURestoreUnitStateFromFile(AudioUnit unit, const std::string& path,
                                    std::string* outProblem) {
    plist_t state = nullptr;
    const OSStatus result = AUReadStateFile(path, &state, outProblem);
    if (result != noErr) {
        return result;
    }
    const std::unique_ptr<void, void (*)(plist_t)> owner(state, plist_free);
    return AudioUnitSetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                                &state, sizeof(state));
}

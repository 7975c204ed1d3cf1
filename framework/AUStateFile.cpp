#include "AUStateFile.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
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

} // namespace

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

OSStatus AUReadStateFile(const std::string& path, plist_t* outState) {
    if (outState == nullptr) {
        return kAudio_ParamError;
    }
    *outState = nullptr;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return ErrnoResult(errno);
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    if (file.bad()) {
        return ioErr;
    }
    if (bytes.empty() || bytes.size() > UINT32_MAX) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    plist_t state = nullptr;
    plist_from_memory(bytes.data(), uint32_t(bytes.size()), &state);
    if (state == nullptr || plist_get_node_type(state) != PLIST_DICT) {
        plist_free(state);
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

OSStatus AURestoreUnitStateFromFile(AudioUnit unit, const std::string& path) {
    plist_t state = nullptr;
    const OSStatus result = AUReadStateFile(path, &state);
    if (result != noErr) {
        return result;
    }
    const std::unique_ptr<void, void (*)(plist_t)> owner(state, plist_free);
    return AudioUnitSetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                                &state, sizeof(state));
}

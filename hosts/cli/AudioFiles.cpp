#include "AudioFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CliSupport.h"

namespace MrvnCli {

namespace {

std::string LowerExtension(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return extension;
}

// New files get the permissions the user's umask allows; a replaced file keeps its own.
mode_t OutputMode(const std::string& path) {
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) {
        return existing.st_mode & 07777;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

std::string ErrorText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

} // namespace

std::optional<int> OutputFormatForPath(const std::string& path) {
    const std::string extension = LowerExtension(path);
    if (extension == ".wav") {
        return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    }
    if (extension == ".aiff" || extension == ".aif") {
        return SF_FORMAT_AIFF | SF_FORMAT_FLOAT;
    }
    if (extension == ".flac") {
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    }
    if (extension == ".ogg") {
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------

MrvnSoundFileReader::MrvnSoundFileReader(const std::string& path) : m_path(path) {
    m_file = sf_open(path.c_str(), SFM_READ, &m_info);
    if (m_file == nullptr) {
        ThrowFailure("cannot read " + Quoted(path) + ": " + sf_strerror(nullptr));
    }
    if (m_info.channels <= 0 || m_info.samplerate <= 0) {
        sf_close(m_file);
        ThrowFailure("cannot read " + Quoted(path) + ": no audio channels");
    }
    if (m_info.frames >= 0 && m_info.frames != SF_COUNT_MAX) {
        m_frames = UInt64(m_info.frames);
        return;
    }
    // A pipe tells no length; the tail and MIDI placement need it up front.
    m_isWhole = true;
    std::vector<Float32> chunk(4096 * std::size_t(m_info.channels));
    for (;;) {
        const sf_count_t got = sf_readf_float(m_file, chunk.data(), 4096);
        if (got <= 0) {
            break;
        }
        m_whole.insert(m_whole.end(), chunk.begin(), chunk.begin() + got * m_info.channels);
    }
    m_frames = m_whole.size() / std::size_t(m_info.channels);
}

MrvnSoundFileReader::~MrvnSoundFileReader() {
    sf_close(m_file);
}

UInt32 MrvnSoundFileReader::Read(std::vector<std::vector<Float32>>& channels, UInt32 frames) {
    const std::size_t count = std::size_t(m_info.channels);
    const Float32* interleaved = nullptr;
    UInt32 got = 0;
    if (m_isWhole) {
        got = UInt32(std::min<UInt64>(frames, m_frames - m_wholeRead));
        interleaved = m_whole.data() + m_wholeRead * count;
        m_wholeRead += got;
    } else {
        m_interleaved.resize(std::size_t(frames) * count);
        const sf_count_t read = sf_readf_float(m_file, m_interleaved.data(), frames);
        if (read < 0) {
            ThrowFailure("cannot read " + Quoted(m_path) + ": " + sf_strerror(m_file));
        }
        got = UInt32(read);
        interleaved = m_interleaved.data();
    }
    for (std::size_t c = 0; c < count; ++c) {
        Float32* dest = channels[c].data();
        for (UInt32 i = 0; i < got; ++i) {
            dest[i] = interleaved[std::size_t(i) * count + c];
        }
    }
    return got;
}

// ---------------------------------------------------------------------------------------------

MrvnSoundFileWriter::MrvnSoundFileWriter(const std::string& path, int format, Float64 sampleRate,
                                         UInt32 channels)
    : m_path(path), m_channels(channels) {
    const std::filesystem::path target(path);
    const std::string folder =
        target.has_parent_path() ? target.parent_path().string() : std::string(".");
    m_temporary = folder + "/." + target.filename().string() + ".XXXXXX";
    m_fd = ::mkstemp(m_temporary.data());
    if (m_fd < 0) {
        const int error = errno;
        m_temporary.clear();
        ThrowFailure("cannot write " + Quoted(path) + ": " + ErrorText(error));
    }
    ::fchmod(m_fd, OutputMode(path));

    SF_INFO info{};
    info.samplerate = int(sampleRate);
    info.channels = int(channels);
    info.format = format;
    m_file = sf_open_fd(m_fd, SFM_WRITE, &info, SF_FALSE);
    if (m_file == nullptr) {
        const std::string reason = sf_strerror(nullptr);
        Discard(); // no destructor runs for a constructor that throws
        Fail(reason);
    }
    if ((format & SF_FORMAT_SUBMASK) != SF_FORMAT_FLOAT &&
        (format & SF_FORMAT_SUBMASK) != SF_FORMAT_VORBIS) {
        // Integer samples beyond full scale clip instead of wrapping around.
        sf_command(m_file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }
}

MrvnSoundFileWriter::~MrvnSoundFileWriter() {
    Discard();
}

void MrvnSoundFileWriter::Discard() {
    if (m_file != nullptr) {
        sf_close(m_file);
    }
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    if (!m_committed && !m_temporary.empty()) {
        ::unlink(m_temporary.c_str());
        m_temporary.clear();
    }
    m_file = nullptr;
    m_fd = -1;
}

void MrvnSoundFileWriter::Fail(const std::string& reason) {
    // The destructor removes the temporary file.
    ThrowFailure("cannot write " + Quoted(m_path) + ": " + reason);
}

void MrvnSoundFileWriter::Write(const Float32* const* channels, UInt32 frames) {
    m_interleaved.resize(std::size_t(frames) * m_channels);
    for (UInt32 c = 0; c < m_channels; ++c) {
        for (UInt32 i = 0; i < frames; ++i) {
            m_interleaved[std::size_t(i) * m_channels + c] = channels[c][i];
        }
    }
    if (sf_writef_float(m_file, m_interleaved.data(), frames) != sf_count_t(frames)) {
        Fail(sf_strerror(m_file));
    }
}

void MrvnSoundFileWriter::Commit() {
    const int closed = sf_close(m_file);
    m_file = nullptr;
    if (closed != 0) {
        Fail(sf_error_number(closed));
    }
    if (::fsync(m_fd) != 0 || ::close(m_fd) != 0) {
        m_fd = -1;
        Fail(ErrorText(errno));
    }
    m_fd = -1;
    if (::rename(m_temporary.c_str(), m_path.c_str()) != 0) {
        Fail(ErrorText(errno));
    }
    m_committed = true;
    const std::filesystem::path target(m_path);
    const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (folderFd >= 0) {
        ::fsync(folderFd); // only the rename's durability depends on it
        ::close(folderFd);
    }
}

void WriteSoundFile(const std::string& path, const std::vector<std::vector<Float32>>& channels,
                    Float64 sampleRate) {
    const std::optional<int> format = OutputFormatForPath(path);
    if (!format) {
        ThrowUsage("cannot tell the format of " + Quoted(path) +
                   ": use .wav, .flac, .aiff, .aif or .ogg");
    }
    MrvnSoundFileWriter writer(path, *format, sampleRate, UInt32(channels.size()));
    std::vector<const Float32*> pointers;
    pointers.reserve(channels.size());
    for (const auto& channel : channels) {
        pointers.push_back(channel.data());
    }
    if (!channels.empty() && !channels[0].empty()) {
        writer.Write(pointers.data(), UInt32(channels[0].size()));
    }
    writer.Commit();
}

} // namespace MrvnCli

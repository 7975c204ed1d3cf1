// Sound files through libsndfile: an input read block by block as separate channels, and an
// output that replaces its path only once it is complete.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <sndfile.h>

#include "AUTypes.h"

namespace MrvnCli {

// The libsndfile format an output path asks for by its extension (ignoring case): .wav and
// .aiff/.aif as 32-bit float, .flac as 24-bit, .ogg as Vorbis; nothing for any other.
std::optional<int> OutputFormatForPath(const std::string& path);

class MrvnSoundFileReader {
public:
    // Opens path; a runtime error with libsndfile's reason when it cannot.
    explicit MrvnSoundFileReader(const std::string& path);
    ~MrvnSoundFileReader();
    MrvnSoundFileReader(const MrvnSoundFileReader&) = delete;
    MrvnSoundFileReader& operator=(const MrvnSoundFileReader&) = delete;

    UInt32 Channels() const { return UInt32(m_info.channels); }
    Float64 SampleRate() const { return Float64(m_info.samplerate); }
    UInt64 Frames() const { return m_frames; }

    // Reads up to frames frames into the start of each channel (each at least frames long)
    // and returns how many it read; fewer only at the end.
    UInt32 Read(std::vector<std::vector<Float32>>& channels, UInt32 frames);

private:
    std::string m_path;
    SF_INFO m_info{};
    SNDFILE* m_file = nullptr;
    UInt64 m_frames = 0;
    // A stream of unknown length is read whole at opening.
    bool m_isWhole = false;
    std::vector<Float32> m_whole;
    UInt64 m_wholeRead = 0;
    std::vector<Float32> m_interleaved;
};

class MrvnSoundFileWriter {
public:
    // Creates a temporary file next to path in the given libsndfile format; a runtime error
    // when it cannot.
    MrvnSoundFileWriter(const std::string& path, int format, Float64 sampleRate, UInt32 channels);
    // Removes the temporary file unless Commit succeeded.
    ~MrvnSoundFileWriter();
    MrvnSoundFileWriter(const MrvnSoundFileWriter&) = delete;
    MrvnSoundFileWriter& operator=(const MrvnSoundFileWriter&) = delete;

    void Write(const Float32* const* channels, UInt32 frames);
    // Finishes the file, flushes it to disk and renames it over the path.
    void Commit();

    // The temporary file being written, for tests.
    const std::string& TemporaryPath() const { return m_temporary; }

private:
    [[noreturn]] void Fail(const std::string& reason);
    void Discard();

    std::string m_path;
    std::string m_temporary;
    int m_fd = -1;
    SNDFILE* m_file = nullptr;
    UInt32 m_channels = 0;
    bool m_committed = false;
    std::vector<Float32> m_interleaved;
};

// Writes a whole signal (one vector per channel) to path in the format its extension asks for.
void WriteSoundFile(const std::string& path, const std::vector<std::vector<Float32>>& channels,
                    Float64 sampleRate);

} // namespace MrvnCli

#include "ZadezarIro/Utilities/ResultWriters.hpp"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DaroriCore/External/Hub/HubError.hpp"

namespace zadezariro {

namespace fs = std::filesystem;

std::string WriteResult::errorDescription() const {
    if (!error) return "";
    return darori::describeError(error);
}

namespace {
[[noreturn]] void throwErrno(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

fs::path outputPath(const std::string& outputDir, const std::string& file, std::string_view extension) {
    if (file.find('/') != std::string::npos || file.find('\0') != std::string::npos)
        throw std::invalid_argument("Output name \"" + file + "\" would leave the output folder");
    return fs::absolute(fs::path(outputDir) / (file + std::string(extension)));
}

// Creates a new hidden file with a short random name in `folder` (any name that fits the folder
// leaves room for it), with the mode the process's umask leaves of 0666. Sets `temp` to its path.
int createTemporary(const fs::path& folder, std::string& temp) {
    static constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = ".tmp-";
        for (int i = 0; i < 8; ++i) name += LETTERS[random() % (sizeof LETTERS - 1)];
        temp = (folder / name).string();
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Writes the bytes to a temporary file beside `path`, flushes it and renames it over `path`. A file
// that is replaced keeps its mode; a new one gets the process's umask, as any file it creates.
void writeAtomically(const fs::path& path, const std::string& bytes) {
    std::string temp;
    const int fd = createTemporary(path.parent_path(), temp);
    if (fd < 0) throwErrno("Cannot create a file in " + path.parent_path().string());
    try {
        std::size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
            if (n < 0) {
                if (errno == EINTR) continue;
                throwErrno("Cannot write " + path.string());
            }
            written += static_cast<std::size_t>(n);
        }
        struct stat existing {};
        if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) && ::fchmod(fd, existing.st_mode & 07777) != 0)
            throwErrno("Cannot write " + path.string());
        if (::fsync(fd) != 0) throwErrno("Cannot write " + path.string());
        if (::close(fd) != 0) {
            ::unlink(temp.c_str());
            throwErrno("Cannot write " + path.string());
        }
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        throwErrno("Cannot write " + path.string());
    }
}

// "file://" and the path with every byte outside the unreserved set and "/" percent-encoded.
std::string fileURL(const fs::path& path) {
    static const char* HEX = "0123456789ABCDEF";
    std::string url = "file://";
    for (unsigned char c : path.string()) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += HEX[c >> 4];
            url += HEX[c & 15];
        }
    }
    return url;
}

template <class Build>
WriteResult writeFile(const std::string& outputDir, const std::string& file, std::string_view extension, Build build) {
    try {
        const fs::path path = outputPath(outputDir, file, extension);
        writeAtomically(path, build());
        return WriteResult{fileURL(path), nullptr};
    } catch (...) {
        return WriteResult{std::nullopt, std::current_exception()};
    }
}

template <class Cue>
std::string cues(const TranscriptionResult& result, Cue cue) {
    std::string content;
    for (const auto& segment : result.segments()) {
        if (segment.words && !segment.words->empty()) {
            for (const auto& word : *segment.words) content += cue(word.start, word.end, word.word);
        } else {
            content += cue(segment.start, segment.end, segment.text);
        }
    }
    return content;
}
}  // namespace

std::string ResultWriting::formatTime(float seconds, bool alwaysIncludeHours, std::string_view decimalMarker) {
    double value = static_cast<double>(seconds);
    if (std::isnan(value) || value < 0) value = 0;
    value = std::min(value, 1e9);
    const long long totalMs = std::llround(value * 1000);
    const long long hours = totalMs / 3'600'000;
    const long long minutes = totalMs / 60'000 % 60;
    const long long secs = totalMs / 1000 % 60;
    const long long ms = totalMs % 1000;
    char buffer[96];
    if (alwaysIncludeHours || hours > 0)
        std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld", hours, minutes, secs);
    else
        std::snprintf(buffer, sizeof buffer, "%02lld:%02lld", minutes, secs);
    char millis[8];
    std::snprintf(millis, sizeof millis, "%03lld", ms);
    return std::string(buffer) + std::string(decimalMarker) + millis;
}

std::string ResultWriting::formatSegment(long long index, float start, float end, std::string_view text) {
    return std::to_string(index) + "\n" + formatTime(start, true, ",") + " --> " + formatTime(end, true, ",") + "\n" +
           std::string(text) + "\n\n";
}

std::string ResultWriting::formatTiming(float start, float end, std::string_view text) {
    return formatTime(start, false, ".") + " --> " + formatTime(end, false, ".") + "\n" + std::string(text) + "\n\n";
}

WriteResult WriteJSON::write(const TranscriptionResult& result, const std::string& file, const std::optional<Json>&) {
    return writeFile(outputDir_, file, ".json", [&] { return result.toJSON().dump(2); });
}

WriteResult WriteSRT::write(const TranscriptionResult& result, const std::string& file, const std::optional<Json>&) {
    return writeFile(outputDir_, file, ".srt", [&] {
        long long index = 1;
        return cues(result, [&](float start, float end, const std::string& text) { return formatSegment(index++, start, end, text); });
    });
}

WriteResult WriteVTT::write(const TranscriptionResult& result, const std::string& file, const std::optional<Json>&) {
    return writeFile(outputDir_, file, ".vtt", [&] { return "WEBVTT\n\n" + cues(result, formatTiming); });
}

}  // namespace zadezariro

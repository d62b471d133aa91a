// File metadata, the local cache's metadata files, hashing and the download rules of one file.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <unistd.h>

#include "DaroriCore/External/Hub/Downloader.hpp"
#include "DaroriCore/External/Hub/HubApi.hpp"
#include "DaroriCore/Logging.hpp"
#include "DaroriCore/NumberText.hpp"

namespace darori {

namespace {

std::string normalisedEtag(std::string etag) {
    if (etag.rfind("W/", 0) == 0) etag.erase(0, 2);
    const auto first = etag.find_first_not_of('"');
    if (first == std::string::npos) return "";
    const auto last = etag.find_last_not_of('"');
    return etag.substr(first, last - first + 1);
}

std::optional<std::int64_t> parseSize(const std::string& text) {
    std::string_view digits(text);
    bool negative = false;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits[0] == '-' || digits[0] == '+') return std::nullopt;
    return negative ? -value : value;
}

// Splits at line feeds, carriage returns and the Unicode line separators (NEL, LS, PS).
std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t skip = 0;
        if (c == '\n' || c == '\r' || c == 0x0B || c == 0x0C) skip = 1;
        else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) skip = 2;
        else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                 (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) skip = 3;
        if (skip) {
            out.emplace_back();
            i += skip - 1;
        } else {
            out.back() += static_cast<char>(c);
        }
    }
    return out;
}

std::string trimmed(const std::string& s) {
    const char* space = " \t\n\r\v\f";
    const auto first = s.find_first_not_of(space);
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

bool isValidUTF8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

struct MetadataReadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An exclusive lock on a file next to the cache entry, held while this object lives. Waits for
// another holder (another thread or process) to let go; gives up with URLError(cancelled) on stop.
class EntryLock {
public:
    EntryLock(const std::filesystem::path& file, std::stop_token stop) {
        std::filesystem::create_directories(file.parent_path());
        fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "could not open " + file.string());
        while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                const int error = errno;
                ::close(fd_);
                throw std::system_error(error, std::generic_category(), "could not lock " + file.string());
            }
            if (stop.stop_requested()) {
                ::close(fd_);
                throw URLError(URLError::Code::cancelled, "cancelled");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~EntryLock() { ::close(fd_); }
    EntryLock(const EntryLock&) = delete;
    EntryLock& operator=(const EntryLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace

HubApi::FileMetadata HubApi::getFileMetadata(const std::string& url) const { return fileMetadata(httpHead(url), url); }

HubApi::FileMetadata HubApi::fileMetadata(const HTTPResponse& response, const std::string& url) {
    FileMetadata meta;
    std::optional<std::string> location;
    if (response.statusCode == 302) location = response.headers.value("Location");
    else if (!response.url.empty()) location = response.url;
    meta.commitHash = response.headers.value("X-Repo-Commit");
    auto etag = response.headers.value("X-Linked-Etag");
    if (!etag) etag = response.headers.value("ETag");
    if (etag) meta.etag = normalisedEtag(*etag);
    meta.location = location.value_or(url);
    auto size = response.headers.value("X-Linked-Size");
    if (!size) size = response.headers.value("Content-Length");
    if (size) meta.size = parseSize(*size);
    return meta;
}

std::optional<HubApi::LocalDownloadFileMetadata> HubApi::readDownloadMetadata(const std::filesystem::path& metadataPath) const {
    std::error_code ec;
    if (!std::filesystem::exists(metadataPath, ec)) return std::nullopt;
    try {
        std::ifstream in(metadataPath, std::ios::binary);
        if (!in) throw MetadataReadError("could not open the file");
        std::ostringstream bytes;
        bytes << in.rdbuf();
        const std::string text = bytes.str();
        if (!isValidUTF8(text)) throw MetadataReadError("the file is not UTF-8 text");
        const auto lines = splitLines(text);
        if (lines.size() < 3) throw EnvironmentError::invalidMetadataError("Metadata file is missing required fields");
        LocalDownloadFileMetadata record;
        record.commitHash = trimmed(lines[0]);
        record.etag = trimmed(lines[1]);
        const std::string time = trimmed(lines[2]);
        const auto timestamp = parseDouble(time);
        if (!timestamp) throw EnvironmentError::invalidMetadataError("Invalid timestamp format");
        record.timestamp = *timestamp;
        std::string name = metadataPath.filename().string();
        for (std::size_t at; (at = name.find(".metadata")) != std::string::npos;) name.erase(at, 9);
        record.filename = name;
        return record;
    } catch (const EnvironmentError& e) {
        Logging::shared().logger().log(OSLogType::error, "Invalid metadata file " + metadataPath.string() + ": " + e.what() +
                                                             ". Removing it from disk and continuing.");
    } catch (const std::exception& e) {
        Logging::shared().logger().log(OSLogType::error, "Error reading metadata file " + metadataPath.string() + ": " + e.what() +
                                                             ". Removing it from disk and continuing.");
    }
    std::filesystem::remove(metadataPath, ec);
    if (ec) throw EnvironmentError::invalidMetadataError("Could not remove corrupted metadata file: " + ec.message());
    return std::nullopt;
}

void HubApi::writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                                   const std::filesystem::path& metadataPath) const {
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string content = commitHash + "\n" + etag + "\n" + doubleDescription(now) + "\n";
    try {
        std::filesystem::create_directories(metadataPath.parent_path());
        const std::filesystem::path temporary = metadataPath.string() + ".tmp" + std::to_string(::getpid()) + "-" +
                                                std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id()));
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            out << content;
            out.close();
            if (!out) throw std::system_error(errno ? errno : EIO, std::generic_category(), "could not write " + temporary.string());
        }
        std::filesystem::rename(temporary, metadataPath);
    } catch (const std::exception& e) {
        throw EnvironmentError::fileWriteError("Failed to write metadata to " + metadataPath.string() + ": " + e.what());
    }
}

std::string HubApi::computeFileHash(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Hub::HubClientError::fileNotFound(file.filename().string());
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    std::vector<unsigned char> block(1'048'576);
    for (;;) {
        const ssize_t n = ::read(fd, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        EVP_DigestUpdate(context, block.data(), static_cast<std::size_t>(n));
    }
    ::close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    static const char* HEX = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += HEX[digest[i] >> 4];
        out += HEX[digest[i] & 15];
    }
    return out;
}

std::string HubApi::HubFileDownloader::source() const {
    std::string url = endpoint.value_or(DEFAULT_ENDPOINT);
    if (url.empty()) throw Hub::HubClientError::endpointMissing();
    if (repo.type == RepoType::datasets) url = URLText::appendingPath(url, "datasets");
    if (repo.type == RepoType::spaces) url = URLText::appendingPath(url, "spaces");
    url = URLText::appendingPath(url, repo.id + "/resolve");
    url = URLText::appendingComponent(url, revision);
    return URLText::appendingPath(url, relativeFilename);
}

void HubApi::HubFileDownloader::prepareCacheDestination(const std::filesystem::path& file) {
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
    if (!std::filesystem::exists(file)) {
        std::ofstream out(file, std::ios::binary | std::ios::app);
        if (!out) throw std::filesystem::filesystem_error("could not create the file", file, std::make_error_code(std::errc::io_error));
    }
}

std::filesystem::path HubApi::HubFileDownloader::download(const std::function<void(double, std::optional<double>)>& progressHandler,
                                                          std::stop_token stop) const {
    if (!isSafeRelativePath(relativeFilename)) {
        throw Hub::HubClientError::downloadError("the file name \"" + relativeFilename + "\" leaves the repository folder");
    }
    const std::filesystem::path metadataPath = repoMetadataDestination / (relativeFilename + ".metadata");
    const auto local = hub->readDownloadMetadata(metadataPath);
    const FileMetadata remote = hub->getFileMetadata(source());
    const std::filesystem::path destination = repoDestination / relativeFilename;
    std::error_code ec;

    const std::string remoteCommit = remote.commitHash.value_or("");
    if (matchesPattern(hub->commitHashPattern, remoteCommit) && std::filesystem::exists(destination, ec) && local &&
        local->commitHash == remoteCommit) {
        return destination;
    }
    if (!remote.commitHash || !remote.etag || !remote.size || remote.location.empty()) {
        throw EnvironmentError::invalidMetadataError("File metadata must have been retrieved from server");
    }
    const std::string& etag = *remote.etag;
    if (etag.empty() || etag.find_first_of("/\\\n\r") != std::string::npos || etag.find('\0') != std::string::npos) {
        throw EnvironmentError::invalidMetadataError("the etag \"" + etag + "\" cannot name a cache file");
    }

    auto currentInCache = [&](const std::optional<LocalDownloadFileMetadata>& record) {
        if (!std::filesystem::exists(destination, ec)) return false;
        if (record && record->etag == etag) return true;
        return matchesPattern(hub->sha256Pattern, etag) && computeFileHash(destination) == etag;
    };
    if (currentInCache(local)) {
        hub->writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
        return destination;
    }

    // One transfer per cache entry at a time; whoever waited finds the entry recorded afterwards.
    EntryLock lock(repoMetadataDestination / (relativeFilename + ".lock"), stop);
    if (std::filesystem::exists(destination, ec)) {
        const auto record = hub->readDownloadMetadata(metadataPath);
        if (record && record->etag == etag) return destination;
    }

    const std::filesystem::path incomplete = repoMetadataDestination / (relativeFilename + "." + etag + ".incomplete");
    prepareCacheDestination(incomplete);
    // A partial file that holds every byte is moved into place without a request: under a
    // content-hash etag it must also hold the right bytes, else it starts over.
    if (Downloader::incompleteFileSize(incomplete) == *remote.size && matchesPattern(hub->sha256Pattern, etag) &&
        computeFileHash(incomplete) != etag) {
        std::filesystem::resize_file(incomplete, 0);
    }
    Downloader downloader(destination, incomplete, backgroundSession, 10'485'760);
    std::stop_callback onStop(stop, [&downloader] { downloader.cancel(); });
    auto states = downloader.download(source(), hubToken, {}, remote.size, 10, 5);
    bool reportedAll = false;
    for (;;) {
        const auto state = states->next();
        if (!state) throw URLError(URLError::Code::cancelled, "cancelled");
        using Kind = Downloader::DownloadState::Kind;
        if (state->kind == Kind::notStarted) continue;
        if (state->kind == Kind::failed) std::rethrow_exception(state->error);
        if (state->kind == Kind::completed) break;
        if (reportedAll) continue;
        reportedAll = state->progress >= 1.0;
        if (!reportedAll && progressHandler) progressHandler(state->progress, state->speed);
    }
    // Under a content-hash etag the bytes must hash to it: a file that does not is neither kept
    // nor recorded, so no later start takes it for the hub's file.
    if (matchesPattern(hub->sha256Pattern, etag)) {
        const std::string actual = computeFileHash(destination);
        if (actual != etag) {
            std::filesystem::remove(destination, ec);
            std::filesystem::remove(incomplete, ec);
            throw EnvironmentError::fileIntegrityError("Hash mismatch for " + relativeFilename + ": the hub's SHA-256 is " + etag +
                                                       ", the downloaded file's is " + actual);
        }
    }
    hub->writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
    if (progressHandler) progressHandler(1.0, std::nullopt);
    return destination;
}

}  // namespace darori

// The client of the remote model hub: requests with the hub token and their status rules, the
// repository file listing, the reading of local configuration files, file metadata from HEAD
// requests, the local cache with its metadata files and download rules, and repository snapshots
// (online through the resumable downloader, offline from the cache alone).
//
// Cache layout below downloadBase:
//   <type>/<repo id>/<file>                                           the cached file
//   <type>/<repo id>/.cache/modelhub/download/<file>.metadata         commit, etag, time (3 lines)
//   <type>/<repo id>/.cache/modelhub/download/<file>.<etag>.incomplete a partial download
// File names from the hub, repository ids and etags that would place a file outside the
// repository's folder are refused.
//
// HubApi is a value: copies share the network monitor. Every operation may run on any thread and
// concurrently with the others; the blocking ones wait for the network.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DaroriCore/External/Hub/Config.hpp"
#include "DaroriCore/External/Hub/HubError.hpp"
#include "DaroriCore/External/Hub/NetworkMonitor.hpp"
#include "DaroriCore/External/Hub/Progress.hpp"
#include "DaroriCore/External/Hub/URLSession.hpp"

namespace darori {

struct HubApi {
    using EnvironmentError = HubEnvironmentError;

    enum class RepoType { models, datasets, spaces };
    // "models", "datasets", "spaces".
    static std::string repoTypeText(RepoType type);
    // The type of that text; absent for any other text.
    static std::optional<RepoType> repoType(std::string_view text);

    struct Repo {
        std::string id;  // "owner/name"; its "/" separates folders and URL segments
        RepoType type = RepoType::models;
        friend bool operator==(const Repo&, const Repo&) = default;
    };

    // One file of a listing: its "/"-separated path in the repository.
    struct Sibling {
        std::string rfilename;
    };
    struct SiblingsResponse {
        std::vector<Sibling> siblings;
        // Decodes {"siblings":[{"rfilename":...},...]}; other keys are ignored. Throws
        // nlohmann::ordered_json::exception for a missing key or a value of the wrong type.
        static SiblingsResponse decode(const nlohmann::ordered_json& json);
        nlohmann::ordered_json encode() const;
    };

    // Remote identity of one file, read from a HEAD response.
    struct FileMetadata {
        std::optional<std::string> commitHash;  // "X-Repo-Commit"
        std::optional<std::string> etag;        // "X-Linked-Etag", else "ETag", without "W/" and quotes
        std::string location;                   // "Location" of a 302, else the answering URL
        std::optional<std::int64_t> size;       // "X-Linked-Size", else "Content-Length"
    };

    // Contents of one metadata file.
    struct LocalDownloadFileMetadata {
        std::string commitHash;
        std::string etag;
        std::string filename;  // the metadata file's name without ".metadata"
        double timestamp = 0;  // seconds since 1970, informational
    };

    // Decides for one file whether the cached copy is current and otherwise downloads it.
    struct HubFileDownloader {
        std::shared_ptr<const HubApi> hub;
        Repo repo;
        std::string revision;
        std::filesystem::path repoDestination;
        std::filesystem::path repoMetadataDestination;
        std::string relativeFilename;
        std::optional<std::string> hubToken;
        std::optional<std::string> endpoint;  // absent or empty: no hub (source() throws endpointMissing)
        bool backgroundSession = false;

        // endpoint/[datasets|spaces/]<repo id>/resolve/<revision, one escaped segment>/<file>.
        // Throws HubClientError::endpointMissing without an endpoint, URLError(badURL) for an
        // endpoint that is no absolute URL.
        std::string source() const;
        // Creates the folders above `file` and, when it does not exist, the empty file. Throws
        // std::filesystem::filesystem_error.
        static void prepareCacheDestination(const std::filesystem::path& file);
        // Returns the cached file's path once it is current: kept when the recorded commit matches
        // the hub's, when the recorded etag matches, or when its SHA-256 equals a SHA-256 etag;
        // otherwise downloaded (resuming an incomplete file of the same etag) and recorded. A
        // download under a SHA-256 etag whose bytes hash otherwise is removed with its partial file
        // and not recorded (HubEnvironmentError::fileIntegrityError naming the file and both hashes).
        // `progressHandler` receives each progress report (fraction, bytes per second) on this
        // thread and 1.0 exactly once, when the file is in place after a transfer. Throws the
        // errors of the HEAD request, HubEnvironmentError for missing remote metadata or an unsafe
        // file name or etag, the downloader's error, or URLError(cancelled) when `stop` is
        // requested. Concurrent downloads of one file (also from other processes) take turns; the
        // later one then finds the file current.
        std::filesystem::path download(const std::function<void(double, std::optional<double>)>& progressHandler = {},
                                       std::stop_token stop = {}) const;
    };

    std::filesystem::path downloadBase;
    std::optional<std::string> hubToken;
    std::string endpoint = DEFAULT_ENDPOINT;
    bool useBackgroundSession = false;
    std::optional<bool> useOfflineMode;
    std::shared_ptr<NetworkMonitor> networkMonitor;
    std::string sha256Pattern = "^[0-9a-f]{64}$";
    std::string commitHashPattern = "^[0-9a-f]{40}$";

    // There is no built-in hub: without an address (an argument or HUB_ENDPOINT) every request
    // fails at once with HubClientError::endpointMissing, before anything is sent.
    static constexpr const char* DEFAULT_ENDPOINT = "";

    // HUB_TOKEN when set and not empty, else MODEL_HUB_TOKEN when set and not empty, else absent.
    static std::optional<std::string> hubTokenFromEnv();
    // HUB_ENDPOINT whenever it is set (even empty), else DEFAULT_ENDPOINT (none).
    static std::string hubEndpointFromEnv();

    // Reads a local JSON file (byte-order marks inside strings kept) into a Config. Throws the read
    // error (std::system_error), HubClientError::jsonSerialization ("JSON Serialization failed for
    // <path>: <reason>") for text that is not JSON, HubClientError::parse for a top level that is
    // not an object.
    Config configuration(const std::filesystem::path& fileURL) const;

    // GET with the token, following redirects. Returns body and response for 200-299; throws
    // authorizationRequired(status) for 401/403, fileNotFound(last path component) for 404,
    // httpStatusCode otherwise; a transport failure becomes downloadError(its description).
    std::pair<std::string, HTTPResponse> httpGet(const std::string& url, std::stop_token stop = {}) const;
    // HEAD with the token and "Accept-Encoding: identity". A redirect whose Location has no host
    // is followed by hand with the same method and fields; any other redirect is returned as it
    // is. Accepts 200-399; status errors as httpGet; transport failures throw URLError unchanged.
    HTTPResponse httpHead(const std::string& url, std::stop_token stop = {}) const;
    // The repository's file names at `revision` (sent as one escaped URL segment), in listing
    // order when `globs` is empty; otherwise the names matching any glob, each once. Throws
    // endpointMissing without an endpoint (nothing is sent), the errors of httpGet and nlohmann::ordered_json::exception for a malformed listing.
    std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision = "main",
                                          const std::vector<std::string>& globs = {}) const;

    // HEAD of a file's URL read into FileMetadata. Throws the errors of httpHead.
    FileMetadata getFileMetadata(const std::string& url) const;
    // The FileMetadata a HEAD response gives for a file requested at `requestedURL`. Pure.
    static FileMetadata fileMetadata(const HTTPResponse& response, const std::string& requestedURL);
    // The metadata file's record; absent when there is none. A file that cannot be read or is
    // malformed is logged, deleted and reported absent; throws invalidMetadataError when it
    // cannot be deleted.
    std::optional<LocalDownloadFileMetadata> readDownloadMetadata(const std::filesystem::path& metadataPath) const;
    // Writes commit, etag and the current time atomically, creating the folders. Throws
    // fileWriteError("Failed to write metadata to <path>: <reason>").
    void writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                               const std::filesystem::path& metadataPath) const;
    // SHA-256 of the file as 64 lower-case hex digits, read 1 MiB at a time. Throws
    // HubClientError::fileNotFound(file name) when it cannot be opened.
    static std::string computeFileHash(const std::filesystem::path& file);

    // Whether `text` matches the pattern as a whole; a pattern that does not compile matches nothing.
    static bool matchesPattern(const std::string& pattern, const std::string& text);

    // Brings the repository's files that match `globs` (all when empty) into the cache and returns
    // the repository folder. Offline (useOfflineMode, else the shared network monitor) nothing is
    // sent and the cache must prove it can serve: HubEnvironmentError::offlineModeError or
    // fileIntegrityError otherwise. Online the listing's files are fetched one after another;
    // `progressHandler` gets the overall progress after every report and once at the end. Throws
    // the listing's and downloads' errors, URLError(cancelled) when `stop` is requested, and
    // HubClientError::downloadError for a repository id or listed name that would leave the
    // repository's folder.
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision = "main",
                                   const std::vector<std::string>& globs = {},
                                   const std::function<void(const Progress&)>& progressHandler = {},
                                   std::stop_token stop = {}) const;

    // The repository's folder and its metadata folder in this client's cache.
    std::filesystem::path repoFolder(const Repo& repo) const;
    static std::filesystem::path metadataFolder(const std::filesystem::path& repoFolder);

    // True for a non-empty "/"-separated relative path without "." or ".." segments, empty
    // segments, backslashes or control characters.
    static bool isSafeRelativePath(std::string_view path);
};

// Repo as JSON: {"id": ..., "type": "models" | "datasets" | "spaces"}. from_json throws
// nlohmann::ordered_json::exception for a missing key or an unknown type.
void to_json(nlohmann::ordered_json& json, const HubApi::Repo& repo);
void from_json(const nlohmann::ordered_json& json, HubApi::Repo& repo);

// The regular files below `folder` (links to one included), recursively, skipping hidden files and
// hidden folders; depth-first in directory order. A folder that cannot be read yields an empty
// list; a subfolder or entry below it that cannot be read is logged (Logging, error) and skipped.
std::vector<std::filesystem::path> getFileUrls(const std::filesystem::path& folder);

}  // namespace darori

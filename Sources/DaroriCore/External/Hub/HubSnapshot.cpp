// Repository snapshots: online through the file download rules, offline from the cache alone.
#include <memory>

#include "DaroriCore/CollectionHelpers.hpp"
#include "DaroriCore/External/Hub/HubApi.hpp"
#include "DaroriCore/Logging.hpp"

namespace darori {

namespace {

// Depth-first, entries in directory order; an entry that cannot be examined and a folder that
// cannot be opened are logged and skipped, so one bad entry does not hide the rest.
void collectFiles(const std::filesystem::path& folder, std::vector<std::filesystem::path>& files, bool top) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    if (ec) {
        if (!top) Logging::error("Skipping unreadable folder " + folder.string() + ": " + ec.message());
        return;
    }
    for (; it != end; it.increment(ec)) {
        if (ec) {
            Logging::error("Stopped reading folder " + folder.string() + ": " + ec.message());
            return;
        }
        const std::string name = it->path().filename().string();
        if (!name.empty() && name[0] == '.') continue;
        std::error_code linkError, targetError;
        const auto linkStatus = it->symlink_status(linkError);
        if (linkError) {
            Logging::error("Skipping unreadable entry " + it->path().string() + ": " + linkError.message());
            continue;
        }
        if (fs::is_directory(linkStatus)) {
            collectFiles(it->path(), files, false);
            continue;
        }
        const auto status = it->status(targetError);  // a link counts as what it points to
        if (targetError) {
            Logging::error("Skipping unreadable entry " + it->path().string() + ": " + targetError.message());
            continue;
        }
        if (fs::is_regular_file(status)) files.push_back(it->path());
    }
}

}  // namespace

std::vector<std::filesystem::path> getFileUrls(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    collectFiles(folder, files, true);
    return files;
}

std::filesystem::path HubApi::snapshot(const Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                                       const std::function<void(const Progress&)>& progressHandler, std::stop_token stop) const {
    namespace fs = std::filesystem;
    if (!isSafeRelativePath(repo.id)) {
        throw Hub::HubClientError::downloadError("the repository id \"" + repo.id + "\" leaves the download folder");
    }
    const fs::path repoDestination = repoFolder(repo);
    const fs::path repoMetadataDestination = metadataFolder(repoDestination);
    const bool monitorSaysOffline = NetworkMonitor::shared().state().shouldUseOfflineMode();
    const bool offline = useOfflineMode.value_or(monitorSaysOffline);

    if (offline) {
        std::error_code ec;
        if (!fs::exists(repoDestination, ec)) throw EnvironmentError::offlineModeError("Repository not available locally");
        std::string prefix = fs::canonical(repoDestination).string();
        if (prefix.empty() || prefix.back() != '/') prefix += '/';
        const auto files = getFileUrls(repoDestination);
        if (files.empty()) throw EnvironmentError::offlineModeError("No files available locally for this repository");
        auto resolved = [](const fs::path& file) {
            std::error_code e;
            const fs::path real = fs::canonical(file, e);
            return e ? file.string() : real.string();
        };
        std::vector<fs::path> kept;
        if (globs.empty()) {
            kept = files;
        } else {
            for (const auto& file : files) {
                const std::string path = resolved(file);
                if (path.rfind(prefix, 0) != 0) continue;
                const std::vector<std::string> relative{path.substr(prefix.size())};
                for (const auto& glob : globs) {
                    if (!matching(relative, glob).empty()) {
                        kept.push_back(file);
                        break;
                    }
                }
            }
            if (kept.empty()) {
                throw EnvironmentError::offlineModeError("No files matching the requested patterns are available locally");
            }
        }
        for (const auto& file : kept) {
            const std::string name = file.filename().string();
            const std::string path = resolved(file);
            if (path.rfind(prefix, 0) != 0) throw EnvironmentError::offlineModeError("Metadata not available for " + name);
            const std::string relative = path.substr(prefix.size());
            const auto record = readDownloadMetadata(repoMetadataDestination / (relative + ".metadata"));
            if (!record) throw EnvironmentError::offlineModeError("Metadata not available for " + name);
            if (matchesPattern(sha256Pattern, record->etag) && computeFileHash(file) != record->etag) {
                throw EnvironmentError::fileIntegrityError("Hash mismatch for " + name);
            }
        }
        return repoDestination;
    }

    const auto names = getFilenames(repo, revision, globs);
    for (const auto& name : names) {
        if (!isSafeRelativePath(name)) {
            throw Hub::HubClientError::downloadError("the file name \"" + name + "\" leaves the repository folder");
        }
    }
    auto self = std::make_shared<const HubApi>(*this);
    Progress overall(static_cast<std::int64_t>(names.size()));
    for (const auto& name : names) {
        auto child = std::make_shared<Progress>(100);
        overall.addChild(child, 1);
        const HubFileDownloader downloader{self, repo, revision, repoDestination, repoMetadataDestination, name,
                                           hubToken, endpoint, useBackgroundSession};
        downloader.download(
            [&](double fraction, std::optional<double> speed) {
                child->setCompletedUnitCount(static_cast<std::int64_t>(fraction * 100));
                if (speed) child->throughput = overall.throughput = speed;
                if (progressHandler) progressHandler(overall);
            },
            stop);
        if (stop.stop_requested()) throw URLError(URLError::Code::cancelled, "cancelled");
        child->setCompletedUnitCount(100);
    }
    if (progressHandler) progressHandler(overall);
    return repoDestination;
}

}  // namespace darori

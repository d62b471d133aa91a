// Fetches one file into an incomplete file and, once every byte has arrived, moves it into place.
// It resumes from the incomplete file's length with a range request, retries lost connections a
// bounded number of times one second apart (each retry resuming after the bytes on disk), checks
// the final length against the announced size and reports its progress as DownloadState values.
//
// A partial file is never appended to unless the server answered with exactly the bytes that
// follow it: a server that ignores the range (answering 200) or answers 416 makes the transfer
// start over from an empty file, and a partial file that already holds the announced size is
// moved into place without a request. A file whose final length differs from the announced size
// never replaces the destination.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "DaroriCore/External/Hub/Broadcaster.hpp"

namespace darori {

// The first byte of a resumed download's "Content-Range: bytes START-END/TOTAL" answer: START,
// or absent when the value does not start with a unit, a blank and decimal digits (or they
// overflow 64 bits).
std::optional<std::int64_t> contentRangeStart(const std::string& value);

class Downloader {
public:
    struct DownloadState {
        enum class Kind { notStarted, downloading, completed, failed };
        Kind kind = Kind::notStarted;
        double progress = 0;             // downloading: fraction from 0 to 1
        std::optional<double> speed;     // downloading: bytes per second, when known
        std::filesystem::path url;       // completed: always the destination
        std::exception_ptr error;        // failed

        static DownloadState downloading(double progress, std::optional<double> speed) {
            return {Kind::downloading, progress, speed, {}, nullptr};
        }
        static DownloadState completed(std::filesystem::path url) { return {Kind::completed, 0, {}, std::move(url), nullptr}; }
        static DownloadState failed(std::exception_ptr error) { return {Kind::failed, 0, {}, {}, error}; }
    };
    using Subscription = Broadcaster<DownloadState>::Subscription;

    // The downloader's own failures. what() is the case name, followed by ": " and `detail` (what
    // was asked for and what came back) when one is given.
    class DownloadError : public std::runtime_error {
    public:
        enum class Kind { invalidDownloadLocation, unexpectedError, tempFileNotFound };
        explicit DownloadError(Kind kind, const std::string& detail = {});
        Kind kind() const noexcept { return kind_; }

    private:
        Kind kind_;
    };

    // The flush size of the transfer: the file is written, and progress reported, every 10 MiB.
    static constexpr std::int64_t FLUSH_SIZE = 10'485'760;

    // `incompleteDestination` must exist before a download starts. `inBackground` is kept for
    // callers; every transfer runs on a thread of this downloader.
    Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination, bool inBackground = false,
               std::int64_t chunkSize = FLUSH_SIZE);
    // Stops a running transfer and waits for its thread.
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Cancels a transfer this downloader is running, starts a new one on its own thread from the
    // incomplete file's current length, and returns a fresh subscription (its first state is the
    // latest one broadcast, or notStarted). Never throws for transfer failures: they arrive as a
    // failed state. A token, when present and not empty, is sent as "Authorization: Bearer <token>".
    // `timeout` is the longest idle time of a request, `numRetries` the retry budget for lost
    // connections (back to 5 after every 10 MiB written).
    std::shared_ptr<Subscription> download(const std::string& url, const std::optional<std::string>& authToken,
                                           const std::map<std::string, std::string>& headers,
                                           std::optional<std::int64_t> expectedSize, double timeout = 10,
                                           int numRetries = 5);

    // Stops the running transfer and broadcasts failed(URLError cancelled); the transfer then ends
    // through its own failure path. Thread-safe.
    void cancel();

    // A subscription to this downloader's states without starting anything.
    std::shared_ptr<Subscription> subscribe() { return broadcaster_->subscribe(); }

    // Size in bytes of the file; 0 when it does not exist or cannot be examined.
    static std::int64_t incompleteFileSize(const std::filesystem::path& file);

    const std::filesystem::path& destination() const { return destination_; }
    const std::filesystem::path& incompleteDestination() const { return incompleteDestination_; }
    std::int64_t chunkSize() const { return chunkSize_; }

    // Pause before a retry; one second unless a test shortens it.
    static void setRetryDelayForTesting(double seconds);

private:
    struct Request {
        std::string url;
        std::map<std::string, std::string> headers;
        std::optional<std::int64_t> expectedSize;
        double timeout = 10;
        int numRetries = 5;
    };
    void transfer(std::stop_token stop, Request request);
    void transferBody(std::stop_token stop, const Request& request, int fd, int retryBudget);

    const std::filesystem::path destination_;
    const std::filesystem::path incompleteDestination_;
    const bool inBackground_;
    const std::int64_t chunkSize_;
    const std::shared_ptr<Broadcaster<DownloadState>> broadcaster_;

    std::mutex mutex_;
    std::jthread task_;  // guarded by mutex_
    std::int64_t downloadedSize_ = 0;  // written by the transfer thread only
};

// Replaces `to` by `from`: removes an existing file at `to` (a failure is thrown and nothing is
// moved), creates the parent folders of `to`, then renames. Throws std::filesystem::filesystem_error.
void moveDownloadedFile(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace darori

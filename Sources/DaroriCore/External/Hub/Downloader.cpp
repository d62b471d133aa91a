#include "DaroriCore/External/Hub/Downloader.hpp"

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DaroriCore/External/Hub/URLSession.hpp"

namespace darori {

namespace {

std::atomic<double> retryDelaySeconds{1.0};

const char* caseName(Downloader::DownloadError::Kind kind) {
    switch (kind) {
        case Downloader::DownloadError::Kind::invalidDownloadLocation: return "invalidDownloadLocation";
        case Downloader::DownloadError::Kind::unexpectedError: return "unexpectedError";
        case Downloader::DownloadError::Kind::tempFileNotFound: return "tempFileNotFound";
    }
    return "unexpectedError";
}

[[noreturn]] void throwErrno(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

void writeAll(int fd, const char* data, std::size_t size, const std::filesystem::path& file) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno("could not write " + file.string());
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void truncateToEmpty(int fd, const std::filesystem::path& file) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) < 0) throwErrno("could not empty " + file.string());
}

}  // namespace

std::optional<std::int64_t> contentRangeStart(const std::string& value) {
    const auto space = value.find(' ');
    if (space == std::string::npos || space + 1 >= value.size() || !std::isdigit(static_cast<unsigned char>(value[space + 1])))
        return std::nullopt;
    std::int64_t start = 0;
    if (std::from_chars(value.data() + space + 1, value.data() + value.size(), start).ec != std::errc()) return std::nullopt;
    return start;
}

namespace {

// Sleeps, waking early when stop is requested; throws URLError(cancelled) then.
void pause(std::stop_token stop, double seconds) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    cv.wait_for(lock, stop, std::chrono::duration<double>(seconds), [] { return false; });
    if (stop.stop_requested()) throw URLError(URLError::Code::cancelled, "cancelled");
}

}  // namespace

Downloader::DownloadError::DownloadError(Kind kind, const std::string& detail)
    : std::runtime_error(detail.empty() ? std::string(caseName(kind)) : caseName(kind) + (": " + detail)), kind_(kind) {}

void Downloader::setRetryDelayForTesting(double seconds) { retryDelaySeconds = seconds; }

Downloader::Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination, bool inBackground,
                       std::int64_t chunkSize)
    : destination_(std::move(destination)),
      incompleteDestination_(std::move(incompleteDestination)),
      inBackground_(inBackground),
      chunkSize_(chunkSize),
      broadcaster_(Broadcaster<DownloadState>::make([] { return std::optional<DownloadState>(DownloadState()); })) {}

Downloader::~Downloader() {
    std::lock_guard guard(mutex_);
    if (task_.joinable()) {
        task_.request_stop();
        task_.join();
    }
}

std::int64_t Downloader::incompleteFileSize(const std::filesystem::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return 0;
    return static_cast<std::int64_t>(info.st_size);
}

std::shared_ptr<Downloader::Subscription> Downloader::download(const std::string& url, const std::optional<std::string>& authToken,
                                                               const std::map<std::string, std::string>& headers,
                                                               std::optional<std::int64_t> expectedSize, double timeout,
                                                               int numRetries) {
    std::lock_guard guard(mutex_);
    if (task_.joinable()) {
        task_.request_stop();
        task_.join();
    }
    Request request{url, headers, expectedSize, timeout, numRetries};
    if (authToken && !authToken->empty()) request.headers["Authorization"] = "Bearer " + *authToken;
    auto subscription = broadcaster_->subscribe();
    task_ = std::jthread([this, request = std::move(request)](std::stop_token stop) { transfer(stop, request); });
    return subscription;
}

void Downloader::cancel() {
    {
        std::lock_guard guard(mutex_);
        if (task_.joinable()) task_.request_stop();
    }
    broadcaster_->broadcast(DownloadState::failed(std::make_exception_ptr(URLError(URLError::Code::cancelled, "cancelled"))));
}

void Downloader::transfer(std::stop_token stop, Request request) {
    std::int64_t resumeSize = incompleteFileSize(incompleteDestination_);
    const auto& expected = request.expectedSize;
    const int fd = ::open(incompleteDestination_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        broadcaster_->broadcast(DownloadState::failed(
            std::make_exception_ptr(std::system_error(errno, std::generic_category(), "could not open " + incompleteDestination_.string()))));
        return;
    }
    try {
        // A partial file longer than the announced size cannot be the start of this file.
        if (expected && resumeSize > *expected) {
            truncateToEmpty(fd, incompleteDestination_);
            resumeSize = 0;
        }
        downloadedSize_ = resumeSize;
        if (resumeSize > 0) {
            const double progress = expected && *expected > 0 ? static_cast<double>(resumeSize) / static_cast<double>(*expected) : 0;
            broadcaster_->broadcast(DownloadState::downloading(progress, std::nullopt));
            if (lseek(fd, 0, SEEK_END) < 0) throwErrno("could not seek in " + incompleteDestination_.string());
        } else {
            broadcaster_->broadcast(DownloadState::downloading(0, std::nullopt));
        }
        // Every byte is already there (an earlier move into place failed): no request.
        if (!(expected && resumeSize > 0 && resumeSize == *expected)) {
            transferBody(stop, request, fd, request.numRetries);
        }
        if (stop.stop_requested()) throw URLError(URLError::Code::cancelled, "cancelled");
        ::close(fd);
    } catch (...) {
        ::close(fd);
        broadcaster_->broadcast(DownloadState::failed(std::current_exception()));
        return;
    }
    try {
        moveDownloadedFile(incompleteDestination_, destination_);
    } catch (...) {
        broadcaster_->broadcast(DownloadState::failed(std::current_exception()));
        return;
    }
    broadcaster_->broadcast(DownloadState::completed(destination_));
}

void Downloader::transferBody(std::stop_token stop, const Request& request, int fd, int retryBudget) {
    const auto& expected = request.expectedSize;
    bool restarted = false;
    std::string chunk;
    chunk.reserve(static_cast<std::size_t>(FLUSH_SIZE) + 256 * 1024);
    for (;;) {
        URLRequest r;
        r.url = request.url;
        r.timeout = request.timeout;
        for (const auto& [name, value] : request.headers) r.headers.set(name, value);
        const bool ranged = downloadedSize_ > 0;
        if (ranged) r.headers.set("Range", "bytes=" + std::to_string(downloadedSize_) + "-");

        enum class Stop { none, badStatus, rangeNotSatisfiable, writeFailed } stopReason = Stop::none;
        std::exception_ptr writeError;
        std::string refusal;  // what the server answered, for the error of a bad status
        chunk.clear();
        std::int64_t runningTotal = downloadedSize_;
        std::int64_t bytesAtLastReport = downloadedSize_;
        auto lastReport = std::chrono::steady_clock::now();

        auto flush = [&](std::size_t size) {
            writeAll(fd, chunk.data(), size, incompleteDestination_);
            chunk.erase(0, size);
            downloadedSize_ += static_cast<std::int64_t>(size);
            runningTotal += static_cast<std::int64_t>(size);
        };
        auto onResponse = [&](const HTTPResponse& response) {
            const int status = response.statusCode;
            if (status == 416 && ranged) {
                stopReason = Stop::rangeNotSatisfiable;
                return false;
            }
            if (status < 200 || status > 299) {
                refusal = "status " + std::to_string(status);
                stopReason = Stop::badStatus;
                return false;
            }
            if (ranged && status != 206) {
                // The server sent the whole file: start the partial file over instead of appending.
                try {
                    truncateToEmpty(fd, incompleteDestination_);
                } catch (...) {
                    writeError = std::current_exception();
                    stopReason = Stop::writeFailed;
                    return false;
                }
                downloadedSize_ = runningTotal = bytesAtLastReport = 0;
            } else if (status == 206) {
                const auto range = response.headers.value("Content-Range");
                if (range && contentRangeStart(*range) != downloadedSize_) {
                    refusal = "status 206 with Content-Range \"" + *range + "\" for a request from byte " +
                              std::to_string(downloadedSize_);
                    stopReason = Stop::badStatus;
                    return false;
                }
            }
            return true;
        };
        auto onData = [&](std::string_view block) {
            chunk.append(block);
            try {
                while (static_cast<std::int64_t>(chunk.size()) >= FLUSH_SIZE) {
                    flush(static_cast<std::size_t>(FLUSH_SIZE));
                    retryBudget = 5;
                    if (!expected) continue;
                    const double progress = *expected == 0 ? 0 : static_cast<double>(runningTotal) / static_cast<double>(*expected);
                    const auto now = std::chrono::steady_clock::now();
                    const double interval = std::chrono::duration<double>(now - lastReport).count();
                    std::optional<double> speed;
                    if (interval > 0) speed = static_cast<double>(runningTotal - bytesAtLastReport) / interval;
                    broadcaster_->broadcast(DownloadState::downloading(progress, speed));
                    lastReport = now;
                    bytesAtLastReport = runningTotal;
                }
            } catch (...) {
                writeError = std::current_exception();
                stopReason = Stop::writeFailed;
                return false;
            }
            return true;
        };

        bool responded = false;
        try {
            URLSession::stream(r, onResponse, onData, stop, &responded);
        } catch (const URLError& e) {
            if (!responded || e.code() == URLError::Code::cancelled || retryBudget <= 0) throw;
            pause(stop, retryDelaySeconds.load());
            --retryBudget;
            continue;
        }
        switch (stopReason) {
            case Stop::writeFailed: std::rethrow_exception(writeError);
            case Stop::badStatus:
                throw DownloadError(DownloadError::Kind::unexpectedError, "GET " + request.url + " was answered with " + refusal);
            case Stop::rangeNotSatisfiable:
                // The partial file does not fit the file on the server: start over once.
                if (restarted) {
                    throw DownloadError(DownloadError::Kind::unexpectedError,
                                        "GET " + request.url + " was answered with status 416 again after starting over");
                }
                restarted = true;
                truncateToEmpty(fd, incompleteDestination_);
                downloadedSize_ = 0;
                continue;
            case Stop::none: break;
        }
        if (!chunk.empty()) flush(chunk.size());
        const off_t end = lseek(fd, 0, SEEK_END);
        if (end < 0) throwErrno("could not seek in " + incompleteDestination_.string());
        if (expected && end != *expected) {
            throw DownloadError(DownloadError::Kind::unexpectedError, "GET " + request.url + " ended with " + std::to_string(end) +
                                                                          " bytes of the announced " + std::to_string(*expected));
        }
        return;
    }
}

void moveDownloadedFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(to))) std::filesystem::remove(to);
    if (to.has_parent_path()) std::filesystem::create_directories(to.parent_path());
    std::filesystem::rename(from, to);
}

}  // namespace darori

#include "Talkweft/Log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "Talkweft/Paths.hpp"

namespace talkweft {

namespace fs = std::filesystem;

namespace {

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The writer thread: a queue of lines drained in order into one LogFile.
class Writer {
public:
    // The log file is resolved here, on the caller's thread, so the writer thread never reads a
    // folder setting that process exit may already have torn down.
    Writer() : file_(Log::url()), thread_([this] { loop(); }) {}

    void enqueue(std::string line) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(line));
            ++queued_;
        }
        wake_.notify_all();
    }

    void flush() {
        std::unique_lock lock(mutex_);
        const std::uint64_t target = queued_;
        done_.wait(lock, [&] { return written_ >= target; });
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !queue_.empty(); });
            while (!queue_.empty()) {
                std::string line = std::move(queue_.front());
                queue_.pop_front();
                lock.unlock();
                file_.append(line);
                lock.lock();
                ++written_;
                done_.notify_all();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::string> queue_;  // guarded by mutex_
    std::uint64_t queued_ = 0;       // guarded by mutex_
    std::uint64_t written_ = 0;      // guarded by mutex_
    LogFile file_;                   // used by the writer thread only
    std::thread thread_;             // last: started once the members above exist
};

// Never destroyed: threads that still log while the process exits must not meet a destroyed
// queue. Lines handed over before exit() are written out at exit.
Writer& writer() {
    static Writer* const w = [] {
        auto* created = new Writer();
        std::atexit([] { writer().flush(); });
        return created;
    }();
    return *w;
}

}  // namespace

namespace Log {

std::string formatLine(Date when, std::string_view text) {
    std::string line = formatISO8601(when);
    line += ' ';
    line += text;
    line += '\n';
    return line;
}

void write(std::string_view text) {
    const auto now = std::chrono::system_clock::now();
    if (text.size() > MAX_TEXT_BYTES) {
        writer().enqueue(formatLine(now, cut(text, MAX_TEXT_BYTES)));
    } else {
        writer().enqueue(formatLine(now, text));
    }
}

std::string cut(std::string_view value, std::size_t limit) {
    if (value.size() <= limit) return std::string(value);
    std::size_t keep = limit;
    // Back to the first byte of a UTF-8 character, so none is split.
    while (keep > 0 && (static_cast<unsigned char>(value[keep]) & 0xC0) == 0x80) --keep;
    std::string out(value.substr(0, keep));
    const std::size_t left = value.size() - keep;
    out += "… [" + std::to_string(left) + (left == 1 ? " byte" : " bytes") + " left out]";
    return out;
}

const fs::path& url() {
    // Never destroyed, like the writer that uses it.
    static const fs::path* const p = [] {
        const fs::path& file = Paths::logFile();
        std::error_code ec;
        fs::create_directories(file.parent_path(), ec);
        return new fs::path(file);
    }();
    return *p;
}

void flush() { writer().flush(); }

}  // namespace Log

LogFile::LogFile(fs::path file) : file_(std::move(file)) {}

fs::path LogFile::rotatedPath(const fs::path& file) {
    fs::path out = file;
    if (out.extension() == ".log") {
        out.replace_extension(".1.log");
    } else {
        out += ".1.log";
    }
    return out;
}

void LogFile::rotate() {
    std::error_code ec;
    fs::remove(rotatedPath(file_), ec);
    fs::rename(file_, rotatedPath(file_), ec);
}

void LogFile::append(std::string_view line) {
    int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) {
        // The size on disk counts every byte written, by this process or an earlier one.
        struct stat st {};
        if (::fstat(fd, &st) == 0 && static_cast<std::uintmax_t>(st.st_size) > ROTATE_ABOVE) {
            ::close(fd);
            rotate();
            fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        }
    }
    if (fd >= 0) {
        writeAll(fd, line);
        ::close(fd);
        return;
    }
    // No file yet (first start, or just rotated): write it whole through a temporary file.
    std::random_device rd;
    const fs::path tmp = file_.string() + ".tmp-" + std::to_string(rd());
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return;
    bool ok = writeAll(fd, line);
    ok = ::close(fd) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), file_.c_str()) != 0) ::unlink(tmp.c_str());
}

}  // namespace talkweft

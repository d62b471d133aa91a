// ContextReader::calcScreenshot: the still image of an app's front window, written as PNG into a
// private folder under a name nobody can predict.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <random>

#include "Platform/PNG.hpp"
#include "Platform/Platform.hpp"
#include "Talkweft/ContextReader.hpp"
#include "Talkweft/Log.hpp"

namespace talkweft::ContextReader {

namespace fs = std::filesystem;
namespace pf = talkweft::platform;

namespace {

// Creates `dir` (with missing parents) and opens it, making sure it is a real folder of this user
// that only this user can enter. The file is then created relative to the opened folder, so
// nobody can swap the folder for a link between the check and the write. -1 on failure.
int openPrivateDir(const fs::path& dir) {
    std::error_code ec;
    if (dir.has_parent_path()) fs::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        ((st.st_mode & 0777) != 0700 && ::fchmod(fd, 0700) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string randomSuffix() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
    return buf;
}

// Writes `bytes` to a new file in the opened folder `dirFd` (named `dir`); returns its path.
std::optional<std::string> writeNewFile(int dirFd, const fs::path& dir, const std::string& bytes) {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string name = "window-" + std::to_string(secs) + "-" + randomSuffix() + ".png";
        int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return std::nullopt;
        }
        std::size_t done = 0;
        bool ok = true;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = false;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ok = ::close(fd) == 0 && ok;
        if (!ok) {
            ::unlinkat(dirFd, name.c_str(), 0);
            return std::nullopt;
        }
        return (dir / name).string();
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> calcScreenshot(std::int32_t pid, const fs::path& dir) {
    pf::ScreenCapture* screen = pf::current().screen;
    if (screen == nullptr || !screen->preflightAccess()) {
        Log::write("screenshot: skipped, this session does not allow capturing windows");
        return std::nullopt;
    }
    const auto windows = screen->windowList().value_or(std::vector<pf::WindowInfo>{});
    std::optional<std::uint32_t> number;
    for (const auto& w : windows) {
        if (!w.ownerPID || *w.ownerPID != pid || !w.layer || *w.layer != 0) continue;
        if (!w.number || *w.number < 0 || *w.number > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
        number = static_cast<std::uint32_t>(*w.number);
        break;
    }
    if (!number) return std::nullopt;
    auto image = screen->captureWindow(*number);
    if (!image) return std::nullopt;
    auto png = pf::encodePNG(*image);
    if (!png) return std::nullopt;
    const int dirFd = openPrivateDir(dir);
    if (dirFd < 0) return std::nullopt;
    auto path = writeNewFile(dirFd, dir, *png);
    ::close(dirFd);
    return path;
}

}  // namespace talkweft::ContextReader

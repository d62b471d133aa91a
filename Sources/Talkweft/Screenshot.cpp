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

// Creates `dir` (with missing parents) and makes sure it is a real folder of this user that only
// this user can enter. False when it cannot be made so.
bool preparePrivateDir(const fs::path& dir) {
    std::error_code ec;
    if (dir.has_parent_path()) fs::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
    if ((st.st_mode & 0777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) return false;
    return true;
}

std::string randomSuffix() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
    return buf;
}

// Writes `bytes` to a new file in `dir`; returns its path.
std::optional<std::string> writeNewFile(const fs::path& dir, const std::string& bytes) {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    for (int attempt = 0; attempt < 8; ++attempt) {
        const fs::path file = dir / ("window-" + std::to_string(secs) + "-" + randomSuffix() + ".png");
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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
            ::unlink(file.c_str());
            return std::nullopt;
        }
        return file.string();
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> calcScreenshot(std::int32_t pid, const fs::path& dir) {
    pf::ScreenCapture* screen = pf::current().screen;
    if (screen == nullptr || !screen->preflightAccess()) {
        Log::write("screenshot: skipped, no Screen Recording permission");
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
    if (!preparePrivateDir(dir)) return std::nullopt;
    return writeNewFile(dir, *png);
}

}  // namespace talkweft::ContextReader

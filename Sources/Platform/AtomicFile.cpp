#include "Platform/AtomicFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace talkweft::platform {

void writeFileAtomically(const std::filesystem::path& file, std::string_view bytes, unsigned mode) {
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    // A short name, so that any name that fits the folder leaves room for it.
    std::string pattern = (folder / ".tmp-XXXXXX").string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot write " + file.string());
    int error = 0;
    for (std::size_t done = 0; done < bytes.size() && error == 0;) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error = n < 0 ? errno : EIO;
        else done += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fchmod(fd, static_cast<mode_t>(mode)) != 0) error = errno;
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(pattern.c_str(), file.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(pattern.c_str());
        throw std::system_error(error, std::generic_category(), "cannot write " + file.string());
    }
}

}  // namespace talkweft::platform

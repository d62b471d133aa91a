// user-dirs.dirs is the user's file, written by desktop tools and by hand: reading it never crashes
// and any folder it gives is an absolute path; one that a "$HOME" line gives lies in the home folder.
#include "DaroriCore/UserDirs.hpp"
#include "FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::asText(data, size);
    const std::filesystem::path home = "/home/user";
    const auto folder = darori::userDirFromText(text, "XDG_DOCUMENTS_DIR", home);
    if (folder) {
        FUZZ_CHECK(folder->is_absolute());
        FUZZ_CHECK(folder->string().find('\0') == std::string::npos);
        if (text.find('/') == std::string_view::npos) FUZZ_CHECK(*folder == home);  // only "$HOME" gives no slash
    }
    (void)darori::userDirFromText(text, "", home);
    return 0;
}

#include "TestSupport.hpp"

#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "Talkweft/Log.hpp"

namespace talkweft::testing {

namespace fs = std::filesystem;

namespace {

fs::path makeTempDir(const char* prefix) {
    std::string tmpl = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

// Runs before main(): the application's folders go below one temporary folder.
const fs::path g_root = [] {
    fs::path root = makeTempDir("talkweft-tests");
    setenv("TALKWEFT_SUPPORT_DIR", (root / "support").c_str(), 1);
    setenv("TALKWEFT_LOG_DIR", (root / "log").c_str(), 1);
    setenv("TALKWEFT_CONFIG_DIR", (root / "config").c_str(), 1);
    setenv("TALKWEFT_SCREENSHOTS_DIR", (root / "screenshots").c_str(), 1);
    return root;
}();

// Removes the folder when the program ends (after the log's writer, made later, has stopped).
struct RootRemover {
    ~RootRemover() {
        std::error_code ec;
        fs::remove_all(g_root, ec);
    }
} g_rootRemover;

}  // namespace

const fs::path& testRoot() { return g_root; }

TempDir::TempDir() : path_(makeTempDir("talkweft-test")) {}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

void writeFile(const fs::path& file, const std::string& text) {
    if (file.has_parent_path()) fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

LogMark::LogMark() {
    Log::flush();
    std::error_code ec;
    offset_ = fs::file_size(Log::url(), ec);
    if (ec) offset_ = 0;
}

std::string LogMark::since() const {
    Log::flush();
    std::string all = readFile(Log::url());
    return offset_ <= all.size() ? all.substr(offset_) : all;
}

DesktopFixture::DesktopFixture() {
    scope = std::make_unique<platform::ScopedPlatform>(desktop.platform());
    app = desktop.addApp(100, "org.example.Editor", "Editor");
    window = app->addWindow("Notes");
    field = std::make_shared<platform::headless::TextField>("");
    window->addChild(field);
    app->focus(field);
    desktop.activate(100);
}

DesktopFixture::~DesktopFixture() = default;

}  // namespace talkweft::testing

#include "Platform/FileDefaults.hpp"

#include <array>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

#include "Platform/AtomicFile.hpp"

namespace talkweft::platform {

namespace {

constexpr char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encodeBase64(std::string_view in) {
    std::string out;
    std::size_t i = 0;
    while (i + 2 < in.size()) {
        std::uint32_t v = (std::uint8_t(in[i]) << 16) | (std::uint8_t(in[i + 1]) << 8) | std::uint8_t(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out.push_back(B64[(v >> s) & 63]);
        i += 3;
    }
    if (i < in.size()) {
        std::uint32_t v = std::uint8_t(in[i]) << 16;
        if (i + 1 < in.size()) v |= std::uint8_t(in[i + 1]) << 8;
        out.push_back(B64[(v >> 18) & 63]);
        out.push_back(B64[(v >> 12) & 63]);
        out.push_back(i + 1 < in.size() ? B64[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::optional<std::string> decodeBase64(std::string_view in) {
    std::array<int, 256> table{};
    table.fill(-1);
    for (int k = 0; k < 64; ++k) table[static_cast<unsigned char>(B64[k])] = k;
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    std::size_t pad = 0;
    for (char c : in) {
        if (c == '=') {
            ++pad;
            continue;
        }
        if (pad > 0) return std::nullopt;  // data after padding
        int v = table[static_cast<unsigned char>(c)];
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    if (pad > 2) return std::nullopt;
    return out;
}

// "<file>.damaged-20261210T171500Z", with "-2", "-3", ... added when that name is taken.
std::filesystem::path damagedPath(const std::filesystem::path& file) {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string base = file.string() + ".damaged-" + stamp;
    std::filesystem::path out = base;
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(out, ec) && n < 1000; ++n) out = base + "-" + std::to_string(n);
    return out;
}

}  // namespace

nlohmann::ordered_json parseDefaults(std::string_view text) {
    // Nesting is checked on the text first, brackets inside strings skipped, so a deep file is
    // refused before any tree is built for it.
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MAX_DEFAULTS_NESTING)
                throw DefaultsFileError("nested deeper than " + std::to_string(MAX_DEFAULTS_NESTING) + " levels");
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    nlohmann::ordered_json parsed;
    try {
        parsed = nlohmann::ordered_json::parse(text);
    } catch (const nlohmann::ordered_json::exception& e) {
        throw DefaultsFileError(std::string("not valid JSON: ") + e.what());
    }
    if (!parsed.is_object()) throw DefaultsFileError("not a JSON object");
    return parsed;
}

FileDefaults::FileDefaults(std::filesystem::path file, const std::function<void(const std::string&)>& report)
    : file_(std::move(file)), values_(nlohmann::ordered_json::object()) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file_, ec)) return;
    std::ifstream in(file_, std::ios::binary);
    if (!in) return;  // unreadable: replaced at the next change
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    if (text.empty()) return;  // nothing to keep
    try {
        values_ = parseDefaults(text);
    } catch (const DefaultsFileError& e) {
        // Kept beside the file for the user; the next change writes a fresh one.
        std::string line = "defaults: " + file_.string() + " is damaged (" + e.what() + ")";
        const std::filesystem::path aside = damagedPath(file_);
        std::filesystem::rename(file_, aside, ec);
        line += ec ? ", could not be moved aside (" + ec.message() + ")" : ", moved to " + aside.string();
        if (report) report(line + "; using the defaults");
    }
}

std::optional<std::string> FileDefaults::data(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto it = values_.find(std::string(key));
    if (it == values_.end() || !it->is_object()) return std::nullopt;
    auto d = it->find("data");
    if (d == it->end() || !d->is_string()) return std::nullopt;
    return decodeBase64(d->get_ref<const std::string&>());
}

bool FileDefaults::setData(std::string_view key, std::string_view bytes) {
    std::lock_guard lock(mutex_);
    values_[std::string(key)] = nlohmann::ordered_json{{"data", encodeBase64(bytes)}};
    return storeLocked();
}

bool FileDefaults::boolValue(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto it = values_.find(std::string(key));
    return it != values_.end() && it->is_boolean() && it->get<bool>();
}

bool FileDefaults::setBool(std::string_view key, bool value) {
    std::lock_guard lock(mutex_);
    values_[std::string(key)] = value;
    return storeLocked();
}

bool FileDefaults::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    values_.erase(std::string(key));
    return storeLocked();
}

bool FileDefaults::storeLocked() {
    std::error_code ec;
    if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ec);
    // Keys are the caller's: one that is not valid UTF-8 is stored repaired rather than throwing.
    const std::string text = values_.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    try {
        writeFileAtomically(file_, text, 0600);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace talkweft::platform

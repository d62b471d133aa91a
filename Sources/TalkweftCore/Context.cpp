#include "TalkweftCore/Context.hpp"

#include <openssl/evp.h>

#include <cmath>
#include <limits>

#include "TalkweftCore/URLComponents.hpp"
#include "Unicode/Unicode.hpp"

namespace talkweft {

namespace {

using Json = nlohmann::ordered_json;
namespace jc = jsoncoding;

// Seconds between 1970-01-01 and 2001-01-01, the epoch of DateCoding::referenceSeconds.
constexpr double REFERENCE_EPOCH = 978307200.0;

Json encodeDate(Date date, DateCoding coding) {
    if (coding == DateCoding::iso8601) return formatISO8601(date);
    const std::chrono::duration<double> since = date.time_since_epoch();
    return since.count() - REFERENCE_EPOCH;
}

Date decodeDate(const Json& obj, std::string_view key, DateCoding coding) {
    if (coding == DateCoding::iso8601) return jc::requireDate(obj, key);
    const double secs = jc::requireNumber(obj, key) + REFERENCE_EPOCH;
    // Beyond about 285 years from 1970 either way the nanosecond tick count would overflow.
    if (!std::isfinite(secs) || std::fabs(secs) > 9e9)
        throw DecodingError("key \"" + std::string(key) + "\": date out of range");
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(secs)));
}

std::string sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
        out.push_back(HEX[digest[i] >> 4]);
        out.push_back(HEX[digest[i] & 0x0F]);
    }
    return out;
}

// The bundle id as one folder name that cannot be absolute, empty, "." or "..", and cannot hold a
// separator. Escaping is reversible, so different ids never share a folder.
std::string bundleComponent(const std::string& id) {
    if (id.empty()) return "%";
    if (id == ".") return "%2E";
    if (id == "..") return "%2E%2E";
    if (id.find_first_of(std::string_view("/%\0", 3)) == std::string::npos) return id;
    std::string out;
    for (const char c : id) {
        if (c == '/') out += "%2F";
        else if (c == '%') out += "%25";
        else if (c == '\0') out += "%00";
        else out.push_back(c);
    }
    return out;
}

}  // namespace

// ---- UTF16Range

Json UTF16Range::toJSON() const { return Json{{"location", location}, {"length", length}}; }

UTF16Range UTF16Range::fromJSON(const Json& j) {
    jc::requireObject(j, "UTF16Range");
    return UTF16Range{jc::requireInt64(j, "location"), jc::requireInt64(j, "length")};
}

// ---- AppContext

bool AppContext::operator==(const AppContext& o) const {
    using namespace unicode;
    return canonicallyEqual(user, o.user) && canonicallyEqual(appName, o.appName) &&
           canonicallyEqual(bundleID, o.bundleID) && pid == o.pid && canonicallyEqualOptional(windowTitle, o.windowTitle) &&
           canonicallyEqualOptional(documentPath, o.documentPath) && canonicallyEqualOptional(url, o.url) &&
           canonicallyEqualOptional(role, o.role) && canonicallyEqualOptional(fieldText, o.fieldText) &&
           fieldTextBase == o.fieldTextBase && fieldTextIsFull == o.fieldTextIsFull && selection == o.selection &&
           canonicallyEqualOptional(selectedText, o.selectedText) &&
           canonicallyEqualOptional(screenshotPath, o.screenshotPath) && capturedAt == o.capturedAt;
}

Json AppContext::toJSON(DateCoding dates) const {
    Json j;
    j["user"] = user;
    j["appName"] = appName;
    j["bundleID"] = bundleID;
    j["pid"] = pid;
    if (windowTitle) j["windowTitle"] = *windowTitle;
    if (documentPath) j["documentPath"] = *documentPath;
    if (url) j["url"] = *url;
    if (role) j["role"] = *role;
    if (fieldText) j["fieldText"] = *fieldText;
    j["fieldTextBase"] = fieldTextBase;
    j["fieldTextIsFull"] = fieldTextIsFull;
    if (selection) j["selection"] = selection->toJSON();
    if (selectedText) j["selectedText"] = *selectedText;
    if (screenshotPath) j["screenshotPath"] = *screenshotPath;
    j["capturedAt"] = encodeDate(capturedAt, dates);
    return j;
}

AppContext AppContext::fromJSON(const Json& j, DateCoding dates) {
    jc::requireObject(j, "AppContext");
    AppContext c;
    c.user = jc::requireString(j, "user");
    c.appName = jc::requireString(j, "appName");
    c.bundleID = jc::requireString(j, "bundleID");
    const std::int64_t pid = jc::requireInt64(j, "pid");
    if (pid < std::numeric_limits<std::int32_t>::min() || pid > std::numeric_limits<std::int32_t>::max())
        throw DecodingError("key \"pid\": integer out of range");
    c.pid = static_cast<std::int32_t>(pid);
    c.windowTitle = jc::optionalString(j, "windowTitle");
    c.documentPath = jc::optionalString(j, "documentPath");
    c.url = jc::optionalString(j, "url");
    c.role = jc::optionalString(j, "role");
    c.fieldText = jc::optionalString(j, "fieldText");
    c.fieldTextBase = jc::requireInt64(j, "fieldTextBase");
    c.fieldTextIsFull = jc::requireBool(j, "fieldTextIsFull");
    if (const auto it = j.find("selection"); it != j.end() && !it->is_null()) {
        try {
            c.selection = UTF16Range::fromJSON(*it);
        } catch (const DecodingError& e) {
            throw DecodingError(std::string("key \"selection\": ") + e.what());
        }
    }
    c.selectedText = jc::optionalString(j, "selectedText");
    c.screenshotPath = jc::optionalString(j, "screenshotPath");
    c.capturedAt = decodeDate(j, "capturedAt", dates);
    return c;
}

// ---- ContextKey

bool ContextKey::operator==(const ContextKey& o) const {
    return unicode::canonicallyEqual(user, o.user) && unicode::canonicallyEqual(bundleID, o.bundleID) &&
           unicode::canonicallyEqual(subject, o.subject);
}

std::string ContextKey::slug() const {
    std::string base = calcSlugBase(subject);
    if (base.empty()) base = "untitled";
    return base + "-" + sha256Hex(subject).substr(0, 10);
}

std::string ContextKey::relativePath() const {
    std::string userPart = calcSlugBase(user);
    // An empty first component would make the path absolute ("/bundle/slug").
    if (userPart.empty()) userPart = "_unknown";
    return userPart + "/" + bundleComponent(bundleID) + "/" + slug();
}

Json ContextKey::toJSON() const { return Json{{"user", user}, {"bundleID", bundleID}, {"subject", subject}}; }

ContextKey ContextKey::fromJSON(const Json& j) {
    jc::requireObject(j, "ContextKey");
    return ContextKey{jc::requireString(j, "user"), jc::requireString(j, "bundleID"), jc::requireString(j, "subject")};
}

// ---- subject and slug

std::string calcSubject(const AppContext& ctx) {
    if (ctx.documentPath && !ctx.documentPath->empty()) return "file:" + *ctx.documentPath;
    if (ctx.url) {
        if (auto normalized = calcNormalizedURL(*ctx.url)) return "url:" + *normalized;
    }
    if (ctx.windowTitle && !ctx.windowTitle->empty()) return "window:" + *ctx.windowTitle;
    return "app:" + ctx.bundleID;
}

ContextKey calcContextKey(const AppContext& ctx) { return ContextKey{ctx.user, ctx.bundleID, calcSubject(ctx)}; }

std::optional<std::string> calcNormalizedURL(std::string_view url) {
    const auto parts = parseURLComponents(url);
    if (!parts || !parts->host) return std::nullopt;
    std::string out = unicode::lowercase(*parts->host);
    out += parts->path.empty() ? "/" : parts->path;
    if (parts->fragment) {
        const std::string stripped = calcStripFragment(*parts->fragment);
        if (!stripped.empty()) out += "#" + stripped;
    }
    return out;
}

std::string calcStripFragment(std::string_view fragment) {
    const auto q = fragment.find('?');
    const std::string_view before = fragment.substr(0, q);
    if (!before.empty()) return std::string(before);
    if (q == std::string_view::npos) return {};
    return std::string(fragment.substr(q + 1));
}

std::string calcSlugBase(std::string_view text) {
    std::string collapsed;
    bool pendingDash = false;
    for (std::size_t i = 0; i < text.size();) {
        const char32_t cp = unicode::decodeAt(text, i);
        const bool keep = (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9');
        if (!keep) {
            pendingDash = !collapsed.empty();
            continue;
        }
        if (pendingDash) collapsed.push_back('-');
        pendingDash = false;
        collapsed.push_back(static_cast<char>(cp));
    }
    std::string_view tail = collapsed;
    if (tail.size() > 48) tail = tail.substr(tail.size() - 48);
    while (!tail.empty() && tail.front() == '-') tail.remove_prefix(1);
    std::string out;
    for (const char c : tail) out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    return out;
}

}  // namespace talkweft

std::size_t std::hash<talkweft::ContextKey>::operator()(const talkweft::ContextKey& key) const {
    using unicode::nfd;
    const std::hash<std::string> h;
    std::size_t seed = h(nfd(key.user));
    seed ^= h(nfd(key.bundleID)) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    seed ^= h(nfd(key.subject)) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed;
}

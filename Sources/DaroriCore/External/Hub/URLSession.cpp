#include "DaroriCore/External/Hub/URLSession.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include <curl/curl.h>

namespace darori {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool isUnreserved(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isPathChar(unsigned char c) {
    return isUnreserved(c) || std::string_view("!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string escape(std::string_view text, bool (*keep)(unsigned char)) {
    static const char* HEX = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (keep(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

// scheme://authority: the text before the path.
std::string origin(const URLText::Parts& p) {
    std::string out = p.scheme + "://" + p.host;
    if (!p.port.empty()) out += ":" + p.port;
    return out;
}

std::string build(const URLText::Parts& p) {
    std::string out = origin(p) + p.path;
    if (!p.query.empty()) out += "?" + p.query;
    return out;
}

URLError::Code codeOf(CURLcode rc) {
    switch (rc) {
        case CURLE_ABORTED_BY_CALLBACK: return URLError::Code::cancelled;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL: return URLError::Code::badURL;
        case CURLE_OPERATION_TIMEDOUT: return URLError::Code::timedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return URLError::Code::cannotFindHost;
        case CURLE_COULDNT_CONNECT: return URLError::Code::cannotConnectToHost;
        case CURLE_TOO_MANY_REDIRECTS: return URLError::Code::httpTooManyRedirects;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return URLError::Code::networkConnectionLost;
        case CURLE_WEIRD_SERVER_REPLY: return URLError::Code::badServerResponse;
        case CURLE_REMOTE_FILE_NOT_FOUND:
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_FILE_COULDNT_READ_FILE:
        case CURLE_HTTP_RETURNED_ERROR: return URLError::Code::resourceUnavailable;
        default: return URLError::Code::unknown;
    }
}

// A CA bundle named by CURL_CA_BUNDLE, else SSL_CERT_FILE, as the curl tool and OpenSSL read them;
// absent leaves libcurl's built-in bundle.
const char* caBundleFromEnv() {
    for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return nullptr;
}

struct Transfer {
    bool followRedirects = false;
    const std::function<bool(const HTTPResponse&)>* onResponse = nullptr;
    const std::function<bool(std::string_view)>* onData = nullptr;
    std::stop_token stop;
    CURL* handle = nullptr;
    HTTPResponse current;
    bool delivered = false;
    bool abortedByCaller = false;

    bool deliver() {
        if (delivered) return true;
        delivered = true;
        char* url = nullptr;
        if (curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) current.url = url;
        if (onResponse && !(*onResponse)(current)) {
            abortedByCaller = true;
            return false;
        }
        return true;
    }
};

size_t onHeaderLine(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    std::string_view line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.substr(0, 5) == "HTTP/") {
        t->current.headers = HTTPHeaders();
        const auto space = line.find(' ');
        t->current.statusCode = 0;
        if (space != std::string_view::npos) {
            int code = 0;
            for (std::size_t i = space + 1; i < line.size() && i < space + 4; ++i) {
                if (!std::isdigit(static_cast<unsigned char>(line[i]))) break;
                code = code * 10 + (line[i] - '0');
            }
            t->current.statusCode = code;
        }
    } else if (line.empty()) {
        const int s = t->current.statusCode;
        const bool interim = s >= 100 && s < 200;
        const bool followed = t->followRedirects && s >= 300 && s < 400 && t->current.headers.value("Location");
        if (!interim && !followed && !t->delivered && !t->deliver()) return 0;
    } else {
        const auto colon = line.find(':');
        if (colon != std::string_view::npos) {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
            t->current.headers.add(std::string(line.substr(0, colon)), std::string(value));
        }
    }
    return n;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (!t->deliver()) return 0;
    if (t->onData && !(*t->onData)(std::string_view(data, n))) {
        t->abortedByCaller = true;
        return 0;
    }
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Transfer*>(user)->stop.stop_requested() ? 1 : 0;
}

void perform(const URLRequest& request, bool followRedirects, const std::function<bool(const HTTPResponse&)>& onResponse,
             const std::function<bool(std::string_view)>& onData, std::stop_token stop, bool* responded) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (responded) *responded = false;
    if (stop.stop_requested()) throw URLError(URLError::Code::cancelled, "cancelled");
    URLText::parse(request.url);  // refuse what is no URL before libcurl guesses at it

    CURL* h = curl_easy_init();
    if (!h) throw URLError(URLError::Code::unknown, "could not start a transfer");
    curl_slist* headers = nullptr;
    Transfer t;
    t.followRedirects = followRedirects;
    t.onResponse = &onResponse;
    t.onData = &onData;
    t.stop = stop;
    t.handle = h;
    char errorText[CURL_ERROR_SIZE] = {0};

    for (const auto& [name, value] : request.headers.fields()) {
        headers = curl_slist_append(headers, (name + (value.empty() ? ";" : ": " + value)).c_str());
    }
    headers = curl_slist_append(headers, "Expect:");
    const long timeoutSeconds = std::max(1L, static_cast<long>(std::ceil(request.timeout)));
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // A proxy tunnel's own answer ("200 Connection established") is no answer of the server.
    curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    if (const char* bundle = caBundleFromEnv()) curl_easy_setopt(h, CURLOPT_CAINFO, bundle);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, followRedirects ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, timeoutSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, timeoutSeconds);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeaderLine);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
    if (!request.body.empty()) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
    }
    if (request.method == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (request.method != "GET") {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    const CURLcode rc = curl_easy_perform(h);
    if (rc == CURLE_OK && !t.delivered) t.deliver();
    curl_slist_free_all(headers);
    curl_easy_cleanup(h);
    if (responded) *responded = t.delivered;
    if (t.abortedByCaller || rc == CURLE_OK) return;
    if (stop.stop_requested()) throw URLError(URLError::Code::cancelled, "cancelled");
    std::string message = errorText[0] ? errorText : curl_easy_strerror(rc);
    throw URLError(codeOf(rc), message);
}

}  // namespace

std::optional<std::string> HTTPHeaders::value(std::string_view name) const {
    for (const auto& [n, v] : fields_) {
        if (equalsIgnoringCase(n, name)) return v;
    }
    return std::nullopt;
}

void HTTPHeaders::set(std::string name, std::string value) {
    std::erase_if(fields_, [&](const auto& f) { return equalsIgnoringCase(f.first, name); });
    fields_.emplace_back(std::move(name), std::move(value));
}

namespace URLText {

Parts parse(const std::string& url) {
    for (unsigned char c : url) {
        if (c <= 0x20 || c == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}') {
            throw URLError(URLError::Code::badURL, "not a URL: \"" + url + "\"");
        }
    }
    Parts p;
    std::string_view rest(url);
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
    std::size_t i = 0;
    if (!rest.empty() && std::isalpha(static_cast<unsigned char>(rest[0]))) {
        while (i < rest.size() && (std::isalnum(static_cast<unsigned char>(rest[i])) || rest[i] == '+' || rest[i] == '-' || rest[i] == '.')) ++i;
        if (i < rest.size() && rest[i] == ':') {
            p.scheme = std::string(rest.substr(0, i));
            rest = rest.substr(i + 1);
        }
    }
    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        const auto end = rest.find_first_of("/?");
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority = authority.substr(at + 1);
        std::size_t colon = std::string_view::npos;
        if (!authority.empty() && authority[0] == '[') {
            const auto close = authority.find(']');
            if (close == std::string_view::npos) throw URLError(URLError::Code::badURL, "not a URL: \"" + url + "\"");
            if (close + 1 < authority.size() && authority[close + 1] == ':') colon = close + 1;
        } else {
            colon = authority.rfind(':');
        }
        p.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) p.port = std::string(authority.substr(colon + 1));
        if (!std::all_of(p.port.begin(), p.port.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
            throw URLError(URLError::Code::badURL, "not a URL: \"" + url + "\"");
        }
    }
    const auto q = rest.find('?');
    p.path = std::string(rest.substr(0, q));
    if (q != std::string_view::npos) p.query = std::string(rest.substr(q + 1));
    return p;
}

std::string escapeComponent(std::string_view component) { return escape(component, isUnreserved); }

namespace {
Parts absolute(const std::string& base) {
    Parts p = parse(base);
    if (p.scheme.empty() || p.host.empty()) throw URLError(URLError::Code::badURL, "not an absolute URL: \"" + base + "\"");
    return p;
}
void appendSegment(Parts& p, const std::string& escaped) {
    if (p.path.empty() || p.path.back() != '/') p.path += '/';
    p.path += escaped;
}
}  // namespace

std::string appendingPath(const std::string& base, std::string_view path) {
    Parts p = absolute(base);
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto slash = path.find('/', start);
        const std::string_view segment = path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (!segment.empty()) appendSegment(p, escape(segment, isPathChar));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return build(p);
}

std::string appendingComponent(const std::string& base, std::string_view component) {
    Parts p = absolute(base);
    appendSegment(p, escape(component, [](unsigned char c) { return c != '/' && isPathChar(c); }));
    return build(p);
}

std::string replacingPathAndQuery(const std::string& url, const std::string& reference) {
    Parts p = absolute(url);
    const Parts r = parse(reference);
    p.path = r.path;
    p.query = r.query;
    return build(p);
}

std::string lastPathComponent(const std::string& url) {
    std::string path;
    try {
        path = parse(url).path;
    } catch (const URLError&) {
        path = url;
    }
    while (!path.empty() && path.back() == '/') path.pop_back();
    const auto slash = path.rfind('/');
    std::string segment = slash == std::string::npos ? path : path.substr(slash + 1);
    int length = 0;
    char* decoded = curl_easy_unescape(nullptr, segment.c_str(), static_cast<int>(segment.size()), &length);
    if (decoded) {
        segment.assign(decoded, static_cast<std::size_t>(length));
        curl_free(decoded);
    }
    return segment;
}

}  // namespace URLText

namespace URLSession {

URLError::Code errorCode(int curlCode) { return codeOf(static_cast<CURLcode>(curlCode)); }

std::pair<std::string, HTTPResponse> data(const URLRequest& request, bool followRedirects, std::stop_token stop) {
    std::string body;
    HTTPResponse response;
    perform(
        request, followRedirects,
        [&](const HTTPResponse& r) {
            response = r;
            return true;
        },
        [&](std::string_view block) {
            body.append(block);
            return true;
        },
        stop, nullptr);
    return {std::move(body), std::move(response)};
}

void stream(const URLRequest& request, const std::function<bool(const HTTPResponse&)>& onResponse,
            const std::function<bool(std::string_view)>& onData, std::stop_token stop, bool* responded) {
    perform(request, true, onResponse, onData, stop, responded);
}

}  // namespace URLSession

}  // namespace darori

#include "DaroriCore/External/Hub/HubApi.hpp"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "DaroriCore/CollectionHelpers.hpp"
#include "DaroriCore/External/Hub/BOMPreservingJSON.hpp"

namespace darori {

namespace {

std::optional<std::string> nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

std::string readWholeFile(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "could not open " + file.string());
    std::string bytes;
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw std::system_error(error, std::generic_category(), "could not read " + file.string());
        }
        if (n == 0) break;
        bytes.append(block, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

URLRequest makeRequest(const std::string& url, const std::string& method, const std::optional<std::string>& token) {
    URLRequest request;
    request.url = url;
    request.method = method;
    request.timeout = 60;
    if (token && !token->empty()) request.headers.set("Authorization", "Bearer " + *token);
    return request;
}

[[noreturn]] void throwStatus(int status, const std::string& url) {
    if (status == 401 || status == 403) throw Hub::HubClientError::authorizationRequired(status);
    if (status == 404) throw Hub::HubClientError::fileNotFound(URLText::lastPathComponent(url));
    throw Hub::HubClientError::httpStatusCode(status);
}

}  // namespace

std::string HubApi::repoTypeText(RepoType type) {
    switch (type) {
        case RepoType::models: return "models";
        case RepoType::datasets: return "datasets";
        case RepoType::spaces: return "spaces";
    }
    return "models";
}

std::optional<HubApi::RepoType> HubApi::repoType(std::string_view text) {
    if (text == "models") return RepoType::models;
    if (text == "datasets") return RepoType::datasets;
    if (text == "spaces") return RepoType::spaces;
    return std::nullopt;
}

HubApi::SiblingsResponse HubApi::SiblingsResponse::decode(const nlohmann::ordered_json& json) {
    SiblingsResponse response;
    for (const auto& sibling : json.at("siblings")) {
        response.siblings.push_back({sibling.at("rfilename").get<std::string>()});
    }
    return response;
}

nlohmann::ordered_json HubApi::SiblingsResponse::encode() const {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& s : siblings) list.push_back({{"rfilename", s.rfilename}});
    return {{"siblings", list}};
}

void to_json(nlohmann::ordered_json& json, const HubApi::Repo& repo) {
    json = {{"id", repo.id}, {"type", HubApi::repoTypeText(repo.type)}};
}

void from_json(const nlohmann::ordered_json& json, HubApi::Repo& repo) {
    const std::string type = json.at("type").get<std::string>();
    const auto parsed = HubApi::repoType(type);
    if (!parsed) throw nlohmann::ordered_json::type_error::create(302, "unknown repository type \"" + type + "\"", &json);
    repo = {json.at("id").get<std::string>(), *parsed};
}

std::optional<std::string> HubApi::hubTokenFromEnv() {
    if (auto token = nonEmptyEnv("HUB_TOKEN")) return token;
    return nonEmptyEnv("MODEL_HUB_TOKEN");
}

std::string HubApi::hubEndpointFromEnv() {
    const char* value = std::getenv("HUB_ENDPOINT");
    return value ? std::string(value) : std::string(DEFAULT_ENDPOINT);
}

Config HubApi::configuration(const std::filesystem::path& fileURL) const {
    const std::string bytes = readWholeFile(fileURL);
    Config config;
    try {
        config = bomPreservingConfig(bytes);
    } catch (const nlohmann::ordered_json::exception& e) {
        throw Hub::HubClientError::jsonSerialization(fileURL, "JSON Serialization failed for " + fileURL.string() + ": " + e.what());
    }
    if (!config.dictionary()) throw Hub::HubClientError::parse();
    return config;
}

std::pair<std::string, HTTPResponse> HubApi::httpGet(const std::string& url, std::stop_token stop) const {
    try {
        auto result = URLSession::data(makeRequest(url, "GET", hubToken), true, stop);
        const int status = result.second.statusCode;
        if (status >= 200 && status <= 299) return result;
        if (status == 0) throw Hub::HubClientError::unexpectedError();
        throwStatus(status, url);
    } catch (const Hub::HubClientError&) {
        throw;
    } catch (const std::exception& e) {
        throw Hub::HubClientError::downloadError(e.what());
    }
}

HTTPResponse HubApi::httpHead(const std::string& url, std::stop_token stop) const {
    const URLRequest first = [&] {
        URLRequest r = makeRequest(url, "HEAD", hubToken);
        r.headers.set("Accept-Encoding", "identity");
        return r;
    }();
    URLRequest request = first;
    HTTPResponse response;
    for (int redirects = 0;; ++redirects) {
        response = URLSession::data(request, false, stop).second;
        const int status = response.statusCode;
        if (status < 300 || status > 399) break;
        const auto location = response.headers.value("Location");
        if (!location) break;
        URLText::Parts target;
        try {
            target = URLText::parse(*location);
        } catch (const URLError&) {
            break;
        }
        if (target.hasHost()) break;
        if (redirects == 16) throw URLError(URLError::Code::httpTooManyRedirects, "too many redirects for " + url);
        request = first;
        request.url = URLText::replacingPathAndQuery(first.url, *location);
        request.headers.set("Location", request.url);
    }
    const int status = response.statusCode;
    if (status == 0) throw Hub::HubClientError::unexpectedError();
    if (status >= 200 && status <= 399) return response;
    throwStatus(status, url);
}

std::vector<std::string> HubApi::getFilenames(const Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& globs) const {
    if (endpoint.empty()) throw Hub::HubClientError::endpointMissing();
    std::string url;
    try {
        url = URLText::appendingPath(endpoint, "api/" + repoTypeText(repo.type) + "/" + repo.id + "/revision");
        url = URLText::appendingComponent(url, revision);
    } catch (const URLError& e) {
        throw Hub::HubClientError::downloadError(e.what());
    }
    const auto [body, response] = httpGet(url);
    const auto listing = SiblingsResponse::decode(nlohmann::ordered_json::parse(body));
    std::vector<std::string> names;
    for (const auto& s : listing.siblings) names.push_back(s.rfilename);
    if (globs.empty()) return names;
    std::set<std::string> selected;
    for (const auto& glob : globs) {
        for (auto& name : matching(names, glob)) selected.insert(std::move(name));
    }
    return {selected.begin(), selected.end()};
}

bool HubApi::matchesPattern(const std::string& pattern, const std::string& text) {
    try {
        return std::regex_search(text, std::regex(pattern));
    } catch (const std::regex_error&) {
        return false;
    }
}

bool HubApi::isSafeRelativePath(std::string_view path) {
    if (path.empty()) return false;
    std::size_t start = 0;
    for (;;) {
        const auto slash = path.find('/', start);
        const auto segment = path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (segment.empty() || segment == "." || segment == "..") return false;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7F || c == '\\') return false;
    }
    return true;
}

std::filesystem::path HubApi::repoFolder(const Repo& repo) const { return downloadBase / repoTypeText(repo.type) / repo.id; }

std::filesystem::path HubApi::metadataFolder(const std::filesystem::path& repoFolder) {
    return repoFolder / ".cache" / "modelhub" / "download";
}

}  // namespace darori

// Our layer in place of the platform's URL loading, on libcurl: URL parsing and building, one
// request answered as a whole (with or without following redirects) and one request streamed
// block by block. Redirects are followed by libcurl only where a call asks for it; the hub's HEAD
// requests follow their redirects by hand (HubApi).
//
// Proxies come from libcurl's environment variables (https_proxy, no_proxy, ...); only the server's
// own answer is read, never a proxy tunnel's. CURL_CA_BUNDLE, else SSL_CERT_FILE, names the file of
// trusted certificates in place of the system's.
//
// All functions are thread-safe; each call uses its own connection state.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace darori {

// A transport failure: no answer, a lost connection, a time-out, a cancelled request, a bad URL.
class URLError : public std::runtime_error {
public:
    enum class Code {
        unknown,
        cancelled,
        badURL,
        timedOut,
        cannotFindHost,
        cannotConnectToHost,
        networkConnectionLost,
        notConnectedToInternet,
        resourceUnavailable,
        httpTooManyRedirects,
        badServerResponse,
    };
    URLError(Code code, const std::string& message) : std::runtime_error(message), code_(code) {}
    Code code() const noexcept { return code_; }

private:
    Code code_;
};

// Header fields in arrival order; names are compared without regard to case.
class HTTPHeaders {
public:
    // The value of the first field with that name, absent when there is none.
    std::optional<std::string> value(std::string_view name) const;
    // Replaces every field of that name by one field with this value.
    void set(std::string name, std::string value);
    void add(std::string name, std::string value) { fields_.emplace_back(std::move(name), std::move(value)); }
    const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

struct URLRequest {
    std::string url;
    std::string method = "GET";
    HTTPHeaders headers;
    double timeout = 60;  // seconds without any byte moving before the request fails with timedOut
    std::string body;     // sent when not empty
};

struct HTTPResponse {
    int statusCode = 0;
    std::string url;  // the URL that gave this response (after followed redirects)
    HTTPHeaders headers;
};

namespace URLText {
// The parts of an absolute or relative URL; absent parts are empty. Throws URLError(badURL) for a
// text that is not a URL.
struct Parts {
    std::string scheme, host, port, path, query;
    bool hasHost() const { return !host.empty(); }
};
Parts parse(const std::string& url);
// Percent-escapes every byte outside the unreserved set (letters, digits, "-._~").
std::string escapeComponent(std::string_view component);
// `base` with `path` appended as path segments ("/" in it separates segments; each segment
// escaped). Throws URLError(badURL) when base is not an absolute URL.
std::string appendingPath(const std::string& base, std::string_view path);
// `base` with one path segment appended, a "/" inside it escaped as "%2F".
std::string appendingComponent(const std::string& base, std::string_view component);
// `url` with its path and query replaced by those of `reference` (a URL without a host).
std::string replacingPathAndQuery(const std::string& url, const std::string& reference);
// The last path segment, percent-decoded; "" for a URL whose path is "/" or empty.
std::string lastPathComponent(const std::string& url);
}  // namespace URLText

namespace URLSession {

// The URLError code of a libcurl result code (CURLE_*); unknown for codes without a closer match.
URLError::Code errorCode(int curlCode);

// Sends the request and waits for the whole answer. With followRedirects, 3xx answers with a
// Location are followed (up to 16 times; the Authorization field is not sent to another host);
// without, the 3xx answer itself is returned. Any HTTP status is a result, not an error. Throws
// URLError for transport failures and when `stop` is requested.
std::pair<std::string, HTTPResponse> data(const URLRequest& request, bool followRedirects, std::stop_token stop = {});

// Streams the answer to a request that follows redirects. `onResponse` is called once with the
// final answer's status and headers before any body bytes; `onData` with each block of the body.
// A callback that returns false ends the transfer at once; stream then returns normally and the
// caller knows why it stopped. Throws URLError for transport failures and when `stop` is requested;
// `responded` (when given) tells the caller whether onResponse had been called before the failure.
void stream(const URLRequest& request, const std::function<bool(const HTTPResponse&)>& onResponse,
            const std::function<bool(std::string_view)>& onData, std::stop_token stop = {}, bool* responded = nullptr);

}  // namespace URLSession

}  // namespace darori

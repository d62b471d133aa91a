// The two error families of the hub code. what() is the user-visible description.
#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace darori {

namespace Hub {

// Errors of hub requests and of reading a model's configuration files.
class HubClientError : public std::runtime_error {
public:
    enum class Kind {
        authorizationRequired,
        httpStatusCode,
        jsonSerialization,
        downloadError,
        fileNotFound,
        networkError,
        resourceNotFound,
        configurationMissing,
        fileSystemError,
        parseError,
        parse,
        unexpectedError,
        endpointMissing,
    };

    // Without a status: "Authentication required. Please provide a valid hub token."; with one:
    // "Authentication failed with status code: <n>. Please check your hub token."
    static HubClientError authorizationRequired(std::optional<int> statusCode = std::nullopt);
    static HubClientError httpStatusCode(int statusCode);                                      // "HTTP error with status code: <n>"
    static HubClientError jsonSerialization(std::filesystem::path fileURL, std::string message);  // the message alone
    static HubClientError downloadError(const std::string& text);                              // "Download failed: <text>"
    static HubClientError fileNotFound(const std::string& text);                               // "File not found: <text>"
    // "Network error: <description of the carried error>"; `underlying` is kept for callers.
    static HubClientError networkError(std::exception_ptr underlying);
    static HubClientError resourceNotFound(const std::string& text);      // "Resource not found: <text>"
    static HubClientError configurationMissing(const std::string& text);  // "Required configuration file missing: <text>"
    static HubClientError fileSystemError(std::exception_ptr underlying);  // "File system error: <description>"
    static HubClientError parseError(const std::string& text);            // "Parse error: <text>"
    static HubClientError parse();                                        // "Failed to parse server response."
    static HubClientError unexpectedError();                              // "An unexpected error occurred."
    // No hub address was given and HUB_ENDPOINT is not set (or empty): nothing can be fetched.
    static HubClientError endpointMissing();

    Kind kind() const noexcept { return kind_; }
    // The status of authorizationRequired or httpStatusCode.
    std::optional<int> statusCode() const noexcept { return statusCode_; }
    // The text payload of the text cases (the message of jsonSerialization).
    const std::string& payload() const noexcept { return payload_; }
    // The file of jsonSerialization.
    const std::filesystem::path& fileURL() const noexcept { return fileURL_; }
    // The error carried by networkError and fileSystemError; null for the other cases.
    std::exception_ptr underlying() const noexcept { return underlying_; }
    std::string errorDescription() const { return what(); }

private:
    HubClientError(Kind kind, std::string description) : std::runtime_error(std::move(description)), kind_(kind) {}
    Kind kind_;
    std::optional<int> statusCode_;
    std::string payload_;
    std::filesystem::path fileURL_;
    std::exception_ptr underlying_;
};

}  // namespace Hub

// Errors of the local hub cache; the description is a fixed prefix followed by the payload.
class HubEnvironmentError : public std::runtime_error {
public:
    enum class Kind { invalidMetadataError, offlineModeError, fileIntegrityError, fileWriteError };

    static HubEnvironmentError invalidMetadataError(const std::string& text);  // "Invalid metadata: <text>"
    static HubEnvironmentError offlineModeError(const std::string& text);      // "Offline mode error: <text>"
    static HubEnvironmentError fileIntegrityError(const std::string& text);    // "File integrity check failed: <text>"
    static HubEnvironmentError fileWriteError(const std::string& text);        // "Failed to write file: <text>"

    Kind kind() const noexcept { return kind_; }
    const std::string& payload() const noexcept { return payload_; }
    std::string errorDescription() const { return what(); }

private:
    HubEnvironmentError(Kind kind, const std::string& prefix, std::string payload)
        : std::runtime_error(prefix + payload), kind_(kind), payload_(std::move(payload)) {}
    Kind kind_;
    std::string payload_;
};

// The description of any caught error: what() of a std::exception, a fixed text otherwise.
std::string describeError(std::exception_ptr error);

}  // namespace darori

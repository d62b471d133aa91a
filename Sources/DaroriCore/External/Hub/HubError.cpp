#include "DaroriCore/External/Hub/HubError.hpp"

namespace darori {

std::string describeError(std::exception_ptr error) {
    if (!error) return "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

namespace Hub {

HubClientError HubClientError::authorizationRequired(std::optional<int> statusCode) {
    HubClientError e(Kind::authorizationRequired,
                     statusCode ? "Authentication failed with status code: " + std::to_string(*statusCode) +
                                      ". Please check your hub token."
                                : "Authentication required. Please provide a valid hub token.");
    e.statusCode_ = statusCode;
    return e;
}

HubClientError HubClientError::httpStatusCode(int statusCode) {
    HubClientError e(Kind::httpStatusCode, "HTTP error with status code: " + std::to_string(statusCode));
    e.statusCode_ = statusCode;
    return e;
}

HubClientError HubClientError::jsonSerialization(std::filesystem::path fileURL, std::string message) {
    HubClientError e(Kind::jsonSerialization, message);
    e.payload_ = std::move(message);
    e.fileURL_ = std::move(fileURL);
    return e;
}

#define HUB_TEXT_CASE(name, prefix)                                  \
    HubClientError HubClientError::name(const std::string& text) {   \
        HubClientError e(Kind::name, prefix + text);       \
        e.payload_ = text;                                           \
        return e;                                                    \
    }
HUB_TEXT_CASE(downloadError, "Download failed: ")
HUB_TEXT_CASE(fileNotFound, "File not found: ")
HUB_TEXT_CASE(resourceNotFound, "Resource not found: ")
HUB_TEXT_CASE(configurationMissing, "Required configuration file missing: ")
HUB_TEXT_CASE(parseError, "Parse error: ")
#undef HUB_TEXT_CASE

HubClientError HubClientError::networkError(std::exception_ptr underlying) {
    HubClientError e(Kind::networkError, "Network error: " + describeError(underlying));
    e.underlying_ = underlying;
    return e;
}

HubClientError HubClientError::fileSystemError(std::exception_ptr underlying) {
    HubClientError e(Kind::fileSystemError, "File system error: " + describeError(underlying));
    e.underlying_ = underlying;
    return e;
}

HubClientError HubClientError::parse() { return HubClientError(Kind::parse, "Failed to parse server response."); }
HubClientError HubClientError::unexpectedError() { return HubClientError(Kind::unexpectedError, "An unexpected error occurred."); }
HubClientError HubClientError::endpointMissing() {
    return HubClientError(Kind::endpointMissing,
                          "No model hub address is set: set HUB_ENDPOINT to the model hub's address, or import a "
                          "checkpoint already on disk with `talkweft --import-model`");
}

}  // namespace Hub

HubEnvironmentError HubEnvironmentError::invalidMetadataError(const std::string& text) {
    return HubEnvironmentError(Kind::invalidMetadataError, "Invalid metadata: ", text);
}
HubEnvironmentError HubEnvironmentError::offlineModeError(const std::string& text) {
    return HubEnvironmentError(Kind::offlineModeError, "Offline mode error: ", text);
}
HubEnvironmentError HubEnvironmentError::fileIntegrityError(const std::string& text) {
    return HubEnvironmentError(Kind::fileIntegrityError, "File integrity check failed: ", text);
}
HubEnvironmentError HubEnvironmentError::fileWriteError(const std::string& text) {
    return HubEnvironmentError(Kind::fileWriteError, "Failed to write file: ", text);
}

}  // namespace darori

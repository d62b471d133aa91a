#include "TalkweftCore/URLComponents.hpp"

#include "Unicode/Unicode.hpp"

namespace talkweft {

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) {
    switch (c) {
        case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
            return true;
        default:
            return false;
    }
}

// True when every character is unreserved, a sub-delimiter, one of `extra`, or a valid "%XX".
bool allowed(std::string_view s, std::string_view extra) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '%') {
            if (i + 2 >= s.size() || !isHex(s[i + 1]) || !isHex(s[i + 2])) return false;
            i += 2;
        } else if (!isUnreserved(c) && !isSubDelim(c) && extra.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// Decodes "%XX" escapes (already validated). Keeps the encoded text when the bytes are not UTF-8.
std::string percentDecoded(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%') {
            out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    if (unicode::repairUTF8(out) != out) return std::string(s);
    return out;
}

bool validHost(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        if (host.size() < 2 || host.back() != ']') return false;
        return allowed(host.substr(1, host.size() - 2), ":") &&
               host.substr(1, host.size() - 2).find('%') == std::string_view::npos;
    }
    return allowed(host, "");
}

}  // namespace

std::optional<URLComponents> parseURLComponents(std::string_view text) {
    std::string_view rest = text;
    URLComponents out;

    // The fragment and the query end the string; split them off first.
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        const std::string_view fragment = rest.substr(hash + 1);
        if (!allowed(fragment, ":@/?")) return std::nullopt;
        out.fragment = percentDecoded(fragment);
        rest = rest.substr(0, hash);
    }
    if (const auto q = rest.find('?'); q != std::string_view::npos) {
        if (!allowed(rest.substr(q + 1), ":@/?")) return std::nullopt;
        rest = rest.substr(0, q);
    }

    // A scheme is letters, digits, "+", "-", "." before the first ":" that precedes any "/".
    const auto colon = rest.find(':');
    const auto slash = rest.find('/');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
        const std::string_view scheme = rest.substr(0, colon);
        if (scheme.empty() || !isAlpha(scheme.front())) return std::nullopt;
        for (const char c : scheme) {
            if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
        }
        rest = rest.substr(colon + 1);
    }

    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        const auto end = rest.find('/');
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
        if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
            if (!allowed(authority.substr(0, at), ":")) return std::nullopt;
            authority = authority.substr(at + 1);
        }
        std::string_view host = authority;
        const auto close = authority.rfind(']');
        const auto portColon = authority.rfind(':');
        if (portColon != std::string_view::npos && (close == std::string_view::npos || portColon > close)) {
            for (const char c : authority.substr(portColon + 1)) {
                if (!isDigit(c)) return std::nullopt;
            }
            host = authority.substr(0, portColon);
        }
        if (!validHost(host)) return std::nullopt;
        out.host = percentDecoded(host);
    }

    if (!allowed(rest, ":@/")) return std::nullopt;
    out.path = percentDecoded(rest);
    return out;
}

}  // namespace talkweft

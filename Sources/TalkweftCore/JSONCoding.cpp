#include "TalkweftCore/JSONCoding.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace talkweft {

std::string formatISO8601(Date date) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(date);
    const auto days = floor<std::chrono::days>(secs);
    const year_month_day ymd{days};
    const hh_mm_ss<seconds> tod{secs - days};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(tod.hours().count()), static_cast<int>(tod.minutes().count()),
                  static_cast<int>(tod.seconds().count()));
    return buf;
}

std::optional<Date> parseISO8601(std::string_view t) {
    using namespace std::chrono;
    // YYYY-MM-DDTHH:MM:SSZ
    if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' || t[19] != 'Z')
        return std::nullopt;
    auto num = [&](std::size_t pos, std::size_t len) -> std::optional<int> {
        int v = 0;
        for (std::size_t i = pos; i < pos + len; ++i) {
            if (t[i] < '0' || t[i] > '9') return std::nullopt;
            v = v * 10 + (t[i] - '0');
        }
        return v;
    };
    const auto y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2), s = num(17, 2);
    if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
    const year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)}, day{static_cast<unsigned>(*d)}};
    if (!ymd.ok() || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
    const sys_seconds at = sys_days{ymd} + hours{*h} + minutes{*mi} + seconds{*s};
    // The clock counts nanoseconds in 64 bits (about 292 years either side of 1970): reject what it
    // cannot hold rather than wrap to some other date.
    if (at < ceil<seconds>(Date::min()) || at > floor<seconds>(Date::max())) return std::nullopt;
    return time_point_cast<system_clock::duration>(at);
}

namespace jsoncoding {

namespace {

[[noreturn]] void fail(std::string_view key, std::string_view why) {
    throw DecodingError("key \"" + std::string(key) + "\": " + std::string(why));
}

const Json* find(const Json& obj, std::string_view key) {
    if (!obj.is_object()) throw DecodingError("expected a JSON object");
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return nullptr;
    return &*it;
}

}  // namespace

void requireObject(const Json& j, std::string_view what) {
    if (!j.is_object()) throw DecodingError(std::string(what) + ": expected a JSON object");
}

const Json& require(const Json& obj, std::string_view key) {
    const Json* v = find(obj, key);
    if (!v) fail(key, "missing");
    return *v;
}

std::string requireString(const Json& obj, std::string_view key) {
    const Json& v = require(obj, key);
    if (!v.is_string()) fail(key, "expected a string");
    return v.get<std::string>();
}

bool requireBool(const Json& obj, std::string_view key) {
    const Json& v = require(obj, key);
    if (!v.is_boolean()) fail(key, "expected true or false");
    return v.get<bool>();
}

std::int64_t int64Value(const Json& v) {
    if (v.is_number_unsigned()) {
        if (v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) throw DecodingError("integer out of range");
        return static_cast<std::int64_t>(v.get<std::uint64_t>());
    }
    if (v.is_number_integer()) return v.get<std::int64_t>();
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
            return static_cast<std::int64_t>(d);
    }
    throw DecodingError("expected an integer");
}

std::int64_t requireInt64(const Json& obj, std::string_view key) {
    const Json& v = require(obj, key);
    try {
        return int64Value(v);
    } catch (const DecodingError& e) {
        fail(key, e.what());
    }
}

double requireNumber(const Json& obj, std::string_view key) {
    const Json& v = require(obj, key);
    if (!v.is_number()) fail(key, "expected a number");
    return v.get<double>();
}

Date requireDate(const Json& obj, std::string_view key) {
    const Json& v = require(obj, key);
    if (!v.is_string()) fail(key, "expected an ISO 8601 date string");
    const auto d = parseISO8601(v.get_ref<const std::string&>());
    if (!d) fail(key, "not an ISO 8601 date: " + v.get<std::string>());
    return *d;
}

std::optional<std::string> optionalString(const Json& obj, std::string_view key) {
    const Json* v = find(obj, key);
    if (!v) return std::nullopt;
    if (!v->is_string()) fail(key, "expected a string");
    return v->get<std::string>();
}

std::vector<std::string> stringList(const Json& obj, std::string_view key) {
    const Json* v = find(obj, key);
    std::vector<std::string> out;
    if (!v) return out;
    if (!v->is_array()) fail(key, "expected an array of strings");
    for (const Json& e : *v) {
        if (!e.is_string()) fail(key, "expected an array of strings");
        out.push_back(e.get<std::string>());
    }
    return out;
}

Json parse(std::string_view text) {
    Json j = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded()) throw DecodingError("not valid JSON");
    return j;
}

}  // namespace jsoncoding
}  // namespace talkweft

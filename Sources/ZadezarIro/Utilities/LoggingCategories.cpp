#include "ZadezarIro/Utilities/LoggingCategories.hpp"

#include <string>

namespace zadezariro::LoggingCategories {

namespace {
Category make(const char* name) {
    return Category{darori::Logger(std::string(SUBSYSTEM), name), darori::Signposter(std::string(SUBSYSTEM), name)};
}
}  // namespace

Category& AudioEncoding() {
    static Category category = make("AudioEncoding");
    return category;
}

Category& FeatureExtractor() {
    static Category category = make("FeatureExtractor");
    return category;
}

Category& TranscribeTask() {
    static Category category = make("TranscribeTask");
    return category;
}

darori::SignpostIntervalState beginSignpost(std::string_view name, darori::Signposter& signposter) {
    return signposter.beginInterval(name);
}

void endSignpost(std::string_view name, const darori::SignpostIntervalState& interval, darori::Signposter& signposter) {
    // The state carries the name it was begun with; a different name here is the caller's slip and
    // is booked under the begun one, as the interval is one and the same.
    (void)name;
    signposter.endInterval(interval);
}

}  // namespace zadezariro::LoggingCategories

// mimeapps.list is the user's file, edited by hand and by other programs: reading it never
// crashes, making talkweft.desktop the default makes it the first entry and a second time changes
// nothing, and taking it out again gives back every byte of a file whose talkweft line listed some
// other application or did not exist.
#include "FuzzInput.hpp"
#include "Platform/Linux/MimeApps.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace lx = talkweft::platform::linuxdesktop;
    const std::string_view text = fuzz::asText(data, size);
    constexpr std::string_view type = "x-scheme-handler/talkweft", ours = "talkweft.desktop";
    const auto before = lx::readDefaultApplications(text, type);
    const auto added = lx::addDefaultApplication(text, type, ours);
    const auto after = lx::readDefaultApplications(added.text, type);
    FUZZ_CHECK(!after.empty() && after.front() == ours);
    FUZZ_CHECK(!lx::addDefaultApplication(added.text, type, ours).changed);
    FUZZ_CHECK(added.changed || added.text == text);
    const bool noLine = text.find(type) == std::string_view::npos;
    if (added.changed && (noLine || !before.empty()))
        FUZZ_CHECK(lx::removeDefaultApplication(added.text, type, ours, added.addedGroup).text == text);
    lx::removeDefaultApplication(text, type, ours, true);
    return 0;
}

// The /proc readers on arbitrary bytes (a process may give itself any name): a stat line gives an
// entry whose state is the character after the name's last ')', or nothing; an environment holds
// an entry only as one of its NUL-separated pieces.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "TalkweftCore/ProcessTree.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto entry = talkweft::parseProcessStat(text)) {
        const auto close = text.rfind(')');
        if (close == std::string_view::npos || text[close + 2] != entry->state || entry->pid < 0 || entry->parent < 0)
            std::abort();
    }
    // The input's first line is looked for in the rest.
    const auto cut = text.find('\n');
    if (cut != std::string_view::npos) {
        const std::string_view entry = text.substr(0, cut), environment = text.substr(cut + 1);
        const bool found = talkweft::environmentHasEntry(environment, entry);
        if (found && entry.find('\0') == std::string_view::npos && environment.find(entry) == std::string_view::npos)
            std::abort();
    }
    return 0;
}

#include "Talkweft/ContextReader.hpp"

#include <chrono>
#include <fstream>
#include <sstream>

#include "Platform/Platform.hpp"
#include "Talkweft/AX.hpp"
#include "Unicode/Unicode.hpp"

namespace talkweft {

namespace pf = talkweft::platform;

const std::set<std::string>& VSCODE_IDS() {
    static const std::set<std::string> ids = {"com.microsoft.VSCode", "com.microsoft.VSCodeInsiders", "com.vscodium",
                                              "com.todesktop.230313mzl4w4u92"};
    return ids;
}

const std::map<std::string, std::function<void(Capture&)>>& ENRICHERS() {
    static const std::map<std::string, std::function<void(Capture&)>> enrichers = [] {
        std::map<std::string, std::function<void(Capture&)>> m;
        for (const auto& id : VSCODE_IDS()) m.emplace(id, enrichVSCode);
        return m;
    }();
    return enrichers;
}

std::int64_t calcLineCount(std::string_view text) {
    std::int64_t lines = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++lines;
        } else if (text[i] == '\r') {
            ++lines;
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        }
    }
    return lines;
}

namespace {

std::string stripUnsavedMarker(std::string title) {
    static const std::string marker = "\xE2\x97\x8F ";  // U+25CF and a blank
    for (auto pos = title.find(marker); pos != std::string::npos; pos = title.find(marker, pos)) {
        title.erase(pos, marker.size());
    }
    const auto first = title.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = title.find_last_not_of(" \t");
    return title.substr(first, last - first + 1);
}

std::optional<std::string> readUTF8File(const std::string& path) {
    // Only plain files: a FIFO or device named as the document would block or never end.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return std::nullopt;
    std::string text = buffer.str();
    if (unicode::repairUTF8(text) != text) return std::nullopt;
    return text;
}

}  // namespace

void enrichVSCode(Capture& cap) {
    AppContext& ctx = cap.ctx;
    ctx.url.reset();
    if (ctx.windowTitle) ctx.windowTitle = stripUnsavedMarker(*ctx.windowTitle);
    if (!ctx.fieldText) return;
    if (ctx.fieldText->empty()) {
        ctx.fieldText.reset();
        ctx.fieldTextIsFull = false;
        ctx.selection.reset();
        return;
    }
    if (!ctx.documentPath) return;
    auto file = readUTF8File(*ctx.documentPath);
    if (file && calcLineCount(*ctx.fieldText) < calcLineCount(*file)) ctx.fieldTextIsFull = false;
}

namespace ContextReader {

std::optional<Capture> capture() {
    pf::Platform& platform = pf::current();
    auto front = platform.workspace->frontmostApplication();
    if (!front) return std::nullopt;

    Capture cap;
    AppContext& ctx = cap.ctx;
    ctx.pid = front->pid;
    ctx.bundleID = front->bundleID.value_or("unknown");
    ctx.appName = front->localizedName.value_or(ctx.bundleID);
    ctx.user = platform.workspace->userName();
    ctx.capturedAt = std::chrono::system_clock::now();

    const AX::Element app = platform.accessibility ? platform.accessibility->application(front->pid) : nullptr;
    if (AX::Element window = AX::element(app, pf::AX_FOCUSED_WINDOW)) {
        ctx.windowTitle = AX::string(window, pf::AX_TITLE);
        ctx.documentPath = AX::document(window);
    }

    if (AX::Element focused = AX::calcFocusedElement(front->pid)) {
        cap.secure = AX::isSecure(focused);
        AX::Element editable = cap.secure ? nullptr : AX::calcEditable(focused);
        if (auto url = AX::calcWebURL(focused); url && url->starts_with("http")) ctx.url = url;
        auto role = AX::string(focused, pf::AX_ROLE);
        auto subrole = AX::string(focused, pf::AX_SUBROLE);
        std::string joined = role.value_or("");
        if (subrole) joined += (role ? "/" : "") + *subrole;
        ctx.role = joined;

        if (editable) {
            if (auto field = AX::calcFieldText(editable)) {
                ctx.fieldText = field->text;
                ctx.fieldTextBase = field->base;
                ctx.fieldTextIsFull = field->isFull;
            }
            ctx.selection = AX::range(editable, pf::AX_SELECTED_TEXT_RANGE);
            if (auto selected = AX::string(editable, pf::AX_SELECTED_TEXT); selected && !selected->empty()) {
                ctx.selectedText = selected;
            }
            cap.caret = AX::calcCaretRect(editable);
            if (!cap.caret) cap.caret = AX::calcFrame(editable);
            cap.element = editable;
        } else {
            cap.element = focused;
        }
    }

    if (auto it = ENRICHERS().find(ctx.bundleID); it != ENRICHERS().end()) it->second(cap);
    return cap;
}

}  // namespace ContextReader
}  // namespace talkweft

// The finishing steps of the controller: typing a transcript, running the agent and applying its
// answer, recording history, and forgetting a context.
#include <chrono>
#include <cstdio>

#include "DaroriCore/NumberText.hpp"
#include "Platform/Accessibility.hpp"
#include "Platform/Platform.hpp"
#include "Talkweft/AX.hpp"
#include "Talkweft/Clipboard.hpp"
#include "Talkweft/Controller.hpp"
#include "Talkweft/Log.hpp"
#include "Talkweft/Paths.hpp"
#include "TalkweftCore/ClaudeCLIAgent.hpp"
#include "TalkweftCore/Task.hpp"
#include "TalkweftCore/TextOps.hpp"
#include "Unicode/Unicode.hpp"

namespace talkweft {

namespace {

std::string bullets(const std::vector<std::string>& external) {
    std::string out;
    for (std::size_t i = 0; i < external.size(); ++i) {
        if (i) out += "\n";
        out += "• " + external[i];
    }
    return out;
}

std::string joined(const std::vector<std::string>& items, const std::string& sep) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? sep : "") + items[i];
    return out;
}

void focus(const platform::AXElementRef& element) {
    if (element) element->setAttribute(platform::AX_FOCUSED, platform::AXValue(true));
}

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

bool Controller::isFront(const Capture& cap) const {
    auto* ws = platform::current().workspace;
    auto front = ws ? ws->frontmostApplication() : std::nullopt;
    return front && front->pid == cap.ctx.pid;
}

void Controller::dictate(const std::string& text, const Capture& cap, const Work& work) {
    std::string out = calcDictationText(text, calcTextBeforeCaret(cap.ctx));
    if (!isFront(cap)) {
        Clipboard::copy(out);
        hud.show(HUDState::error("The window changed while transcribing, so the text was copied to the clipboard instead:\n\n" + out));
        return endWork(work);
    }
    focus(cap.element);
    if (!Clipboard::paste(out)) {
        // The keystroke could not be made: keep the text for the user instead of losing it.
        Clipboard::copy(out);
        hud.show(HUDState::error("Couldn't paste into the field, so the text was copied to the clipboard instead:\n\n" + out));
        return endWork(work);
    }
    hud.hide(0);
    HistoryEntry entry{std::chrono::system_clock::now(), Mode::dictate, text, AgentAction::insert, out,
                       cap.ctx.selectedText, {}, std::nullopt, {}, true};
    record(cap, std::move(entry));
    endWork(work);
}

void Controller::runAgent(const std::string& text, const Capture& cap, Shot shot, const Work& work) {
    // The agent's time, as logged, counts from here: the screenshot wait included.
    auto start = loop_.now();
    hud.show(HUDState::thinking(text, start));
    AppContext ctx = cap.ctx;
    ctx.screenshotPath.reset();
    if (!shot || shot->done) {
        if (shot) ctx.screenshotPath = shot->path;
        return runAgentWithContext(text, cap, std::move(ctx), start, work);
    }
    std::weak_ptr<bool> alive = alive_;
    shot->waiters.push_back([this, alive, text, cap, ctx, start, shot, work]() mutable {
        if (!alive.lock()) return;
        if (work->cancelled()) return endWork(work);
        ctx.screenshotPath = shot->path;
        runAgentWithContext(text, cap, std::move(ctx), start, work);
    });
}

void Controller::runAgentWithContext(const std::string& text, const Capture& cap, AppContext ctx,
                                     platform::TimePoint start, const Work& work) {
    const Settings& s = settings.value();
    ContextKey key = calcContextKey(ctx);
    std::optional<std::filesystem::path> historyDir;
    std::vector<HistoryEntry> history;
    if (s.keepsHistory(ctx.bundleID)) {
        historyDir = store.calcDir(key);
        history = store.recent(key, s.historyLimit);
    }
    std::filesystem::path workDir = calcWorkDir(ctx.documentPath, historyDir);
    AgentRequest request{text, ctx, history, historyDir, workDir, s.agentInstructions};
    Log::write("agent: Claude Code app=" + ctx.bundleID + " subject=" + key.subject + " field=" +
               std::to_string(ctx.fieldText ? static_cast<long long>(unicode::characterCount(*ctx.fieldText)) : -1) +
               " full=" + (ctx.fieldTextIsFull ? "true" : "false"));
    auto result = std::make_shared<std::optional<AgentResult>>();
    auto error = std::make_shared<std::exception_ptr>();
    ClaudeCLIConfig cfg = s.claude;
    std::weak_ptr<bool> alive = alive_;
    jobs_.run(
        work->stop.get_token(),
        [cfg, request, result, error] {
            try {
                *result = ClaudeCLIAgent(cfg).run(request);
            } catch (...) {
                *error = std::current_exception();
            }
        },
        [this, alive, text, cap, ctx, work, start, result, error] {
            if (!alive.lock()) return;
            if (work->cancelled()) return endWork(work);
            if (*error) {
                try {
                    std::rethrow_exception(*error);
                } catch (const CancellationError&) {
                    // Not cancelled by the user (checked above): the run was stopped underneath us.
                    Log::write("agent error: stopped before it answered");
                    hud.show(HUDState::error("The agent stopped before it answered."));
                } catch (...) {
                    std::string what = describe(*error);
                    Log::write("agent error: " + Log::cut(what));
                    hud.show(HUDState::error(what));
                }
                return endWork(work);
            }
            const std::string secs = darori::fixedText(std::chrono::duration<double>(loop_.now() - start).count(), 1);
            Log::write("agent: " + std::string(agentActionRawValue((*result)->action)) + " in " + secs + "s");
            Capture withShot{ctx, cap.element, cap.caret, cap.secure};
            applyResult(**result, text, withShot);
            endWork(work);
        });
}

void Controller::applyResult(const AgentResult& result, const std::string& instruction, const Capture& cap) {
    HistoryEntry entry{std::chrono::system_clock::now(), Mode::agent, instruction, result.action, result.text,
                       cap.ctx.selectedText, result.edits, result.message, result.external, true};
    if (!result.external.empty()) Log::write("agent external: " + Log::cut(joined(result.external, " | ")));
    std::string failure;  // what the HUD says when the answer did not reach the field
    switch (result.action) {
        case AgentAction::insert: {
            std::string text = result.text.value_or("");
            if (isFront(cap)) {
                focus(cap.element);
                if (Clipboard::paste(text)) {
                    hud.hide(0);
                } else {
                    Clipboard::copy(text);
                    failure = "Couldn't paste into the field, so the result was copied to the clipboard:\n\n" + text;
                    entry.applied = false;
                }
            } else {
                Clipboard::copy(text);
                failure = "The window changed while the agent worked, so the result was copied to the clipboard:\n\n" + text;
                entry.applied = false;
            }
            break;
        }
        case AgentAction::replace: {
            auto failed = applyEdits(result.edits, cap);
            entry.applied = failed.empty();
            if (failed.empty()) {
                hud.hide(0);
            } else {
                std::vector<std::string> texts;
                for (const auto& e : failed) texts.push_back(e.replace);
                std::string all = joined(texts, "\n\n");
                Clipboard::copy(all);
                failure = "Couldn't apply " + std::to_string(failed.size()) + " of " + std::to_string(result.edits.size()) +
                          " edits in this field. The replacement text was copied to the clipboard:\n\n" + all;
            }
            break;
        }
        case AgentAction::reply: {
            std::string msg = result.message ? *result.message : result.text ? *result.text : "(no message)";
            if (!result.external.empty()) msg += "\n\nDone outside this field:\n" + bullets(result.external);
            hud.show(HUDState::reply(msg));
            entry.applied = false;
            break;
        }
    }
    // Work done outside the field is what the panel ends on, even after a failed insert or replace
    // (whose text is on the clipboard all the same).
    if (!result.external.empty() && result.action != AgentAction::reply) {
        hud.show(HUDState::reply("Done outside this field:\n" + bullets(result.external)));
    } else if (!failure.empty()) {
        hud.show(HUDState::error(failure));
    }
    record(cap, std::move(entry));
}

std::vector<TextEdit> Controller::applyEdits(const std::vector<TextEdit>& edits, const Capture& cap) {
    if (!isFront(cap) || !cap.element) return edits;
    std::vector<TextEdit> failed;
    for (const auto& edit : edits)
        if (!writer->replace(edit, cap.element)) failed.push_back(edit);
    return failed;
}

void Controller::record(const Capture& cap, HistoryEntry entry) {
    if (!settings.value().keepsHistory(cap.ctx.bundleID)) return;
    // What is typed into a password field never goes to disk.
    if (cap.secure) return;
    std::optional<std::string> before = cap.ctx.fieldText;
    std::weak_ptr<bool> alive = alive_;
    ++pendingRecords_;
    loop_.addTimer(platform::seconds(0.25), [this, alive, cap, entry = std::move(entry), before] {
        if (!alive.lock()) return;
        --pendingRecords_;
        std::optional<std::string> after;
        if (cap.element)
            if (auto ft = AX::calcFieldText(cap.element)) after = ft->text;
        HistoryStore history = store;
        jobs_.run(
            std::stop_token{},
            [history, ctx = cap.ctx, entry, before, after] {
                try {
                    history.record(ctx, entry, before, after);
                } catch (const std::exception& e) {
                    Log::write(std::string("history: ") + e.what());
                }
            },
            [] {});
    });
}

ForgetResult Controller::forget(const Capture& cap) {
    ContextKey key = calcContextKey(cap.ctx);
    std::filesystem::path dir = store.calcDir(key);
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec)) return {ForgetResult::Kind::nothing, {}, {}};
    try {
        store.clear(dir);
    } catch (const std::exception& e) {
        Log::write(std::string("history: ") + e.what());
        return {ForgetResult::Kind::failed, key.subject, e.what()};
    }
    return {ForgetResult::Kind::cleared, key.subject, {}};
}

}  // namespace talkweft

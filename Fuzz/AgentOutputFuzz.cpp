// The agent's output on arbitrary text, both as the tool's JSON envelope and as a bare result:
// each gives a result or throws AgentError, never anything else.
#include "FuzzInput.hpp"
#include "TalkweftCore/AgentResult.hpp"
#include "TalkweftCore/ClaudeCLIAgent.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text = fuzz::asText(data, size);
    try {
        talkweft::parseClaudeOutput(text);
    } catch (const talkweft::AgentError&) {
    }
    try {
        talkweft::parseAgentResult(text);
    } catch (const talkweft::AgentError& e) {
        FUZZ_CHECK(e.kind() == talkweft::AgentError::Kind::badOutput);
    }
    return 0;
}

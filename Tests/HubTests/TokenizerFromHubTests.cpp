// The tokenizer factory that loads a repository's tokenizer files from the hub, against the test
// hub on 127.0.0.1.
#include "DaroriCore/TokenizerWrapper.hpp"

#include <gtest/gtest.h>

#include "DaroriCore/External/Hub/HubError.hpp"
#include "DaroriCore/External/Tokenizers/LlamaPreTrainedTokenizer.hpp"
#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"
#include "HubServer.hpp"

using namespace darori;
using hubtests::HubServer;
using hubtests::readFile;
using hubtests::TempFolder;

TEST(TokenizerFromHub, LoadsTheRepositoryAndPicksTheClass) {
    HubServer server;
    TempFolder cache;
    const std::string files = std::string(TALKWEFT_SOURCE_DIR) + "/Tests/DaroriCoreTests/TokenizerData/llama/";
    server.addFile("owner/llama", "tokenizer.json", readFile(files + "tokenizer.json"));
    server.addFile("owner/llama", "tokenizer_config.json", readFile(files + "tokenizer_config.json"));
    server.addFile("owner/plain", "tokenizer.json", readFile(files + "tokenizer.json"));
    HubApiWrapper hub(cache.path(), std::string(), server.endpoint());
    hub.impl.useOfflineMode = false;

    // A Llama-class repository gets the Llama variant (unlike a local folder).
    const TokenizerWrapper llama = AutoTokenizerWrapper::fromPretrained("owner/llama", hub);
    EXPECT_NE(dynamic_cast<const LlamaPreTrainedTokenizer*>(&llama.impl()), nullptr);
    const std::vector<int> ids = llama.encode("hello world");
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], 1);  // <s> from the template
    EXPECT_EQ(llama.decode(ids, true), "hello world");

    // No tokenizer_config.json and no config.json to name a class: no configuration.
    try {
        AutoTokenizerWrapper::fromPretrained("owner/plain", hub);
        ADD_FAILURE();
    } catch (const TokenizerError& e) {
        EXPECT_EQ(e.kind(), TokenizerError::Kind::missingConfig);
    }
    // A repository the hub does not have: the hub client's error, unchanged.
    EXPECT_THROW(AutoTokenizerWrapper::fromPretrained("owner/missing", hub), Hub::HubClientError);
}

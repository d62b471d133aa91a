// Helpers shared by the tokenizer tests: configuration trees from JSON text or files.
#pragma once

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "DaroriCore/External/Hub/BOMPreservingJSON.hpp"
#include "DaroriCore/External/Hub/Config.hpp"
#include "SharedFixtures.hpp"

namespace tokenizer_test {

inline darori::Config json(const std::string& text) { return darori::bomPreservingConfig(text); }

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline darori::Config jsonFile(const std::string& path) { return json(readFile(path)); }

// The metaspace that SentencePiece-style tokenizers put in place of a space.
inline const std::string M = "\xE2\x96\x81";  // ▁

inline const std::string englishFixture = std::string(TALKWEFT_SOURCE_DIR) + "/../shared/fixtures/tokenizer-en";
inline const std::string testData = std::string(TALKWEFT_TEST_DATA) + "/TokenizerData";

}  // namespace tokenizer_test

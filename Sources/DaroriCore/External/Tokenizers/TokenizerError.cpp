#include "DaroriCore/External/Tokenizers/TokenizerError.hpp"

namespace darori {

std::string TokenizerError::describe(Kind kind, const std::string& payload) {
    switch (kind) {
    case Kind::unsupportedTokenizer: return "The tokenizer type '" + payload + "' is not supported.";
    case Kind::tooLong: return "Input is too long: " + payload;
    case Kind::mismatchedConfig: return "Tokenizer configuration mismatch: " + payload;
    case Kind::missingConfig: return "Tokenizer configuration is missing.";
    case Kind::missingTokenizerClassInConfig: return "The tokenizer class is not specified in the configuration.";
    case Kind::missingVocab: return "Vocabulary file is missing from the tokenizer configuration.";
    case Kind::malformedVocab: return "The vocabulary file is malformed or corrupted.";
    }
    return {};
}

}  // namespace darori

#include "DaroriCore/External/Tokenizers/PostProcessors.hpp"

#include <gtest/gtest.h>

using namespace darori;
using Tokens = std::vector<std::string>;

namespace {

Config postProcessorConfig(const std::string& text) { return Config::convertToBinaryDistinctKeys(nlohmann::ordered_json::parse(text)); }

std::shared_ptr<const PostProcessor> buildPostProcessor(const std::string& config) {
    auto built = PostProcessorFactory::fromConfig(postProcessorConfig(config));
    if (!built) throw std::runtime_error("no post-processor");
    return built;
}

const std::string TEMPLATE = R"({"type": "TemplateProcessing",
  "single": [{"SpecialToken": {"id": "<|startoftranscript|>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
             {"SpecialToken": {"id": "<|endoftext|>", "type_id": 0}}],
  "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"SpecialToken": {"id": "|", "type_id": 0}},
           {"Sequence": {"id": "B", "type_id": 1}}, {"Sequence": {"id": "C", "type_id": 1}}]})";
const std::string BERT = R"({"type": "BertProcessing", "sep": ["[SEP]", 102], "cls": ["[CLS]", 101]})";
const std::string ROBERTA = R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0]})";

}  // namespace

TEST(PostProcessors, DocumentedBehaviour) {
    struct Case {
        std::string config;
        Tokens tokens;
        std::optional<Tokens> pair;
        bool special;
        Tokens expected;
    };
    const std::string sequence = R"({"type": "Sequence", "processors": [)" + BERT + ", " + BERT + "]}";
    const Case cases[] = {
        {TEMPLATE, {"x", "y"}, std::nullopt, true, {"<|startoftranscript|>", "x", "y", "<|endoftext|>"}},
        {TEMPLATE, {"x", "y"}, std::nullopt, false, {"x", "y"}},
        {TEMPLATE, {"x"}, Tokens{"y"}, true, {"x", "|", "y"}},
        {BERT, {"a"}, Tokens{"b"}, true, {"[CLS]", "a", "[SEP]", "b", "[SEP]"}},
        {BERT, {"a"}, Tokens{}, true, {"[CLS]", "a", "[SEP]"}},
        {BERT, {"a"}, Tokens{"b"}, false, {"a", "b"}},
        {ROBERTA, {"a"}, Tokens{"b"}, true, {"<s>", "a", "</s>", "</s>", "b", "</s>"}},
        {ROBERTA, {"a"}, Tokens{"b"}, false, {"<s>", "a", "</s>", "</s>", "b", "</s>"}},
        {ROBERTA, {"  hi ", "\t\tx\n\n", "   "}, std::nullopt, true, {"<s>", " hi ", "\tx\n", " ", "</s>"}},
        {R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0], "add_prefix_space": false})",
         {"  hi ", "\thi\n"}, std::nullopt, true, {"<s>", "hi", "hi\n", "</s>"}},
        {R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0], "trim_offset": false})",
         {"  hi "}, std::nullopt, true, {"<s>", "  hi ", "</s>"}},
        {R"({"type": "ByteLevel"})", {"a"}, Tokens{"b"}, true, {"a"}},
        {sequence, {"a"}, Tokens{"b"}, true, {"[CLS]", "[CLS]", "a", "[SEP]", "b", "[SEP]", "[SEP]"}},
        {R"({"type": "Sequence", "processors": []})", {"a"}, Tokens{"b"}, true, {"a"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(buildPostProcessor(c.config)->postProcess(c.tokens, c.pair, c.special), c.expected) << c.config;
    }
}

TEST(PostProcessors, FactoryRejectsUnknownConfigurations) {
    for (const char* absent : {"null", "[]", R"({"type": 1})", "{}"}) {
        EXPECT_EQ(PostProcessorFactory::fromConfig(postProcessorConfig(absent)), nullptr) << absent;
    }
    struct Case {
        const char* config;
        const char* message;
    };
    const Case cases[] = {
        {R"({"type": "Template"})", "Unsupported PostProcessor type: Template"},
        {R"({"type": ""})", "Unsupported PostProcessor type: "},
        {R"({"type": "TemplateProcessing", "pair": []})", "Missing `single` processor configuration"},
        {R"({"type": "TemplateProcessing", "single": []})", "Missing `pair` processor configuration"},
        {R"({"type": "BertProcessing", "cls": ["[CLS]", 101]})", "Missing `sep` processor configuration"},
        {R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", -1]})", "Missing `cls` processor configuration"},
        {R"({"type": "Sequence"})", "Missing `processors` configuration"},
    };
    for (const Case& c : cases) {
        try {
            PostProcessorFactory::fromConfig(postProcessorConfig(c.config));
            ADD_FAILURE() << "accepted " << c.config;
        } catch (const StageConfigurationError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

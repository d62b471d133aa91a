// The shared test data beside the checkout (../shared/fixtures, described by its README). A test
// program that includes this header checks, before its first test, that the English tokenizer is
// there: without it every test of the program fails naming the missing file, instead of a test
// looking for the tokenizer elsewhere (a model hub) or failing in some later, unrelated way.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

namespace sharedfixtures {

inline const std::filesystem::path ROOT = (std::filesystem::path(TALKWEFT_SOURCE_DIR) / "../shared/fixtures").lexically_normal();
inline const std::filesystem::path ENGLISH_TOKENIZER = ROOT / "tokenizer-en";

class Check : public ::testing::Environment {
public:
    void SetUp() override {
        for (const char* file : {"tokenizer.json", "tokenizer_config.json"}) {
            std::error_code ec;
            const auto path = ENGLISH_TOKENIZER / file;
            if (!std::filesystem::is_regular_file(path, ec))
                FAIL() << "missing test fixture " << path.string()
                       << ": the shared test data belongs beside the checkout, in " << ROOT.string();
        }
    }
};

// Registered once per program, before main() runs the tests.
inline ::testing::Environment* const CHECK = ::testing::AddGlobalTestEnvironment(new Check);

}  // namespace sharedfixtures

// The shared test data beside the checkout (../shared/fixtures, described by its README). A test
// program that includes this header checks, before its first test, that the English tokenizer is
// there: without it the program ends with a failure naming the missing file, instead of a test
// looking for the tokenizer elsewhere (a model hub) or failing in some later, unrelated way. (It
// ends rather than fails in GoogleTest's set-up: the tests would then count as skipped.)
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
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
            if (!std::filesystem::is_regular_file(path, ec)) {
                std::fprintf(stderr, "FAILED: missing test fixture %s: the shared test data belongs beside the checkout, in %s\n",
                             path.c_str(), ROOT.c_str());
                std::fflush(nullptr);
                std::exit(1);
            }
        }
    }
};

// Registered once per program, before main() runs the tests.
inline ::testing::Environment* const CHECK = ::testing::AddGlobalTestEnvironment(new Check);

}  // namespace sharedfixtures

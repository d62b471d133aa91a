// make-test-model: writes a complete model folder (MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc,
// TextDecoder.mlmodelc, config.json) with seeded random weights, or with a scripted decoder.
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/WhisperTestModels.hpp"

namespace {

constexpr char USAGE[] =
    "usage: make-test-model FOLDER [--size test|tiny|base] [--seed N] [--vocab N] [--mels N]\n"
    "                       [--layers N] [--float32] [--scripted] [--script ID,ID,...] [--text-context N]\n";

bool parseNumber(const std::string& text, int64_t& value) {
    char* end = nullptr;
    long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed <= 0) return false;
    value = parsed;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace mlruntime;
    if (argc < 2) {
        std::cerr << USAGE;
        return 2;
    }
    testmodels::FolderOptions options;
    options.size = *testmodels::namedSize("tiny");
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "make-test-model: " << arg << " needs a value\n" << USAGE;
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&]() {
            std::string text = value();
            int64_t parsed = 0;
            if (!parseNumber(text, parsed)) {
                std::cerr << "make-test-model: " << arg << " needs a positive number, not \"" << text << "\"\n";
                std::exit(2);
            }
            return parsed;
        };
        if (arg == "--size") {
            std::string name = value();
            auto size = testmodels::namedSize(name);
            if (!size) {
                std::cerr << "make-test-model: unknown size \"" << name << "\"\n" << USAGE;
                return 2;
            }
            options.size = *size;
        } else if (arg == "--seed") {
            options.seed = static_cast<uint64_t>(number());
        } else if (arg == "--vocab") {
            options.size.vocab = number();
        } else if (arg == "--mels") {
            options.size.mels = number();
        } else if (arg == "--layers") {
            options.size.layers = number();
        } else if (arg == "--text-context") {
            options.textContext = number();
        } else if (arg == "--float32") {
            options.weightType = DataType::Float32;
        } else if (arg == "--scripted") {
            options.scripted = true;
        } else if (arg == "--script") {
            std::stringstream list(value());
            std::string item;
            while (std::getline(list, item, ',')) {
                int64_t id = 0;
                if (item == "0") id = 0;
                else if (!parseNumber(item, id)) {
                    std::cerr << "make-test-model: bad token id \"" << item << "\" in --script\n";
                    return 2;
                }
                options.script.push_back(id);
            }
        } else if (!arg.empty() && arg[0] == '-') {
            std::cerr << "make-test-model: unknown option " << arg << "\n" << USAGE;
            return 2;
        } else if (folder.empty()) {
            folder = arg;
        } else {
            std::cerr << USAGE;
            return 2;
        }
    }
    if (folder.empty()) {
        std::cerr << USAGE;
        return 2;
    }
    if (options.scripted && options.script.empty()) options.script = testmodels::defaultScript(options.size.vocab);
    for (int64_t id : options.script)
        if (id >= options.size.vocab) {
            std::cerr << "make-test-model: script token " << id << " lies outside the vocabulary\n";
            return 2;
        }
    try {
        testmodels::writeModelFolder(folder, options);
    } catch (const Error& error) {
        std::cerr << "make-test-model: " << error.what() << "\n";
        return 1;
    }
    std::cout << folder << "\n";
    return 0;
}

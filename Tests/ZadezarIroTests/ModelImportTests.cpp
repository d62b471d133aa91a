// Checkpoints imported as the engine's model folders: from a local folder and from the test hub
// by repository id, interrupted by dropped connections and resumed.
#include "ZadezarIro/Core/ModelImport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "DaroriCore/External/Hub/Downloader.hpp"
#include "HubServer.hpp"
#include "MLRuntime/ModelFile.hpp"
#include "MLRuntime/WhisperTestModels.hpp"
#include "SharedFixtures.hpp"

using namespace zadezariro;
namespace fs = std::filesystem;

namespace {

const fs::path IMPORT_TOKENIZER = fs::path(TALKWEFT_SOURCE_DIR) / "../shared/fixtures/tokenizer-en";

fs::path importedFolder(const fs::path& base, const std::string& name) {
    return base / "models/zevidirev/zadezariro-coreml" / name;
}

void writeImportCheckpoint(const fs::path& folder, const std::string& size, mlruntime::DataType type) {
    mlruntime::testmodels::CheckpointOptions options;
    options.size = *mlruntime::testmodels::namedSize(size);
    options.size.layers = 1;
    options.weightType = type;
    options.tokenizerFolder = IMPORT_TOKENIZER;
    mlruntime::testmodels::writeCheckpoint(folder, options);
}

}  // namespace

TEST(ModelImport, LocalCheckpointsAreNamedByTheirOriginOrTheCaller) {
    hubtests::TempFolder tmp;
    writeImportCheckpoint(tmp / "checkpoint", "test", mlruntime::DataType::Float32);
    ModelImport::Options options;
    options.base = tmp / "app";

    // config.json's "_name_or_path" is "openai/whisper-test".
    EXPECT_EQ(ModelImport::importModel((tmp / "checkpoint").string(), std::nullopt, options),
              importedFolder(options.base, "openai_whisper-test"));
    EXPECT_NO_THROW(mlruntime::ModelFile::open(importedFolder(options.base, "openai_whisper-test") / "TextDecoder.mlmodelc"));
    EXPECT_EQ(hubtests::readFile(importedFolder(options.base, "openai_whisper-test") / "tokenizer.json"),
              hubtests::readFile(IMPORT_TOKENIZER / "tokenizer.json"));
    EXPECT_EQ(ModelImport::importModel((tmp / "checkpoint/").string(), "my-model", options), importedFolder(options.base, "my-model"));

    // Without an origin the folder's name is used.
    nlohmann::json config = nlohmann::json::parse(hubtests::readFile(tmp / "checkpoint/config.json"));
    config.erase("_name_or_path");
    hubtests::writeFile(tmp / "checkpoint/config.json", config.dump());
    EXPECT_EQ(ModelImport::importModel((tmp / "checkpoint").string(), std::nullopt, options), importedFolder(options.base, "checkpoint"));

    EXPECT_EQ(hubtests::errorText([&] { ModelImport::importModel((tmp / "checkpoint").string(), "../outside", options); }),
              "Invalid model name \"../outside\": a model name is a single folder name");
    EXPECT_EQ(hubtests::errorText([&] { ModelImport::importModel("no-such-folder", std::nullopt, options); }),
              "\"no-such-folder\" is neither a checkpoint folder nor a hub repository id such as openai/whisper-base");
    EXPECT_FALSE(fs::exists(options.base / "models/zevidirev/outside"));
}

TEST(ModelImport, RepositoryIdsNameTheModelAsTheEngineNamesVariants) {
    struct Case {
        const char* text;
        bool id;
    };
    for (const Case c : {Case{"openai/whisper-base", true}, Case{"openai/whisper-large-v3", true}, Case{"owner/name.en", true},
                         Case{"openai", false}, Case{"a/b/c", false}, Case{"../whisper", false}, Case{"openai/..", false},
                         Case{"/whisper", false}, Case{"open ai/whisper", false}})
        EXPECT_EQ(ModelImport::isRepositoryId(c.text), c.id) << c.text;
    EXPECT_EQ(ModelImport::modelName("openai/whisper-large-v3"), "openai_whisper-large-v3");
}

// A float16 checkpoint whose weights (some 40 MB) the hub breaks off after 11 MiB and then after
// every 100 bytes until the downloader gives up; the next import resumes from the 10 MiB already
// on disk, fetches no finished file again and never the repository's other weight formats.
TEST(ModelImport, HubImportIsInterruptedAndResumed) {
    hubtests::TempFolder tmp;
    hubtests::HubServer hub;
    writeImportCheckpoint(tmp / "checkpoint", "tiny", mlruntime::DataType::Float16);
    for (const auto& entry : fs::directory_iterator(tmp / "checkpoint"))
        hub.addFile("openai/whisper-tiny.en", entry.path().filename().string(), hubtests::readFile(entry.path()));
    hub.addFile("openai/whisper-tiny.en", "pytorch_model.bin", "another format");
    ASSERT_GT(fs::file_size(tmp / "checkpoint/model.safetensors"), 12u << 20);

    ModelImport::Options options;
    options.base = tmp / "app";
    options.endpoint = hub.endpoint();
    std::mutex mutex;
    std::vector<double> fractions;
    options.progress = [&](double fraction) {
        std::lock_guard lock(mutex);
        fractions.push_back(fraction);
    };
    darori::Downloader::setRetryDelayForTesting(0.01);
    // Files are fetched in listing order: config.json and generation_config.json come whole first.
    nlohmann::json cuts = {int64_t{1} << 40, int64_t{1} << 40, 11 << 20};
    for (int i = 0; i < 20; ++i) cuts.push_back(100);
    hub.configure({{"cuts", cuts}});
    EXPECT_ANY_THROW(ModelImport::importModel("openai/whisper-tiny.en", std::nullopt, options));
    EXPECT_FALSE(fs::exists(importedFolder(options.base, "openai_whisper-tiny.en")));

    hub.configure({{"cuts", nlohmann::json::array()}});
    fractions.clear();
    const fs::path folder = ModelImport::importModel("openai/whisper-tiny.en", std::nullopt, options);
    darori::Downloader::setRetryDelayForTesting(1.0);
    EXPECT_EQ(folder, importedFolder(options.base, "openai_whisper-tiny.en"));
    const auto decoder = mlruntime::ModelFile::open(folder / "TextDecoder.mlmodelc");
    EXPECT_EQ(decoder.json()["hyperparameters"]["n_vocab"], 51864);
    EXPECT_EQ(decoder.weights().tensors().at("token_embedding").dataType, mlruntime::DataType::Float16);

    std::vector<std::string> ranges;
    int configGets = 0;
    for (const auto& request : hub.requests()) {
        const std::string path = request["path"];
        EXPECT_EQ(path.find("pytorch_model.bin"), std::string::npos) << "other formats are not fetched";
        if (request["method"] != "GET") continue;
        if (path.ends_with("/config.json")) ++configGets;
        if (path.ends_with("/model.safetensors") && request["headers"].contains("Range"))
            ranges.push_back(request["headers"]["Range"]);
    }
    EXPECT_EQ(configGets, 1) << "a finished file is not fetched again";
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ(ranges.back(), "bytes=10485760-");
    std::lock_guard lock(mutex);
    ASSERT_FALSE(fractions.empty());
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_EQ(fractions.back(), 1.0);
}

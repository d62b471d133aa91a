#include "MLRuntime/TestModel.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace mlruntime;

namespace {

ModelDescription decoderLikeDescription() {
    ModelDescription description;
    description.inputs = {
        {"input_ids", FeatureType::MultiArray, false, MultiArrayConstraint{{1}, DataType::Int32}},
        {"key_cache", FeatureType::MultiArray, false, MultiArrayConstraint{{1, 8, 1, 4}, DataType::Float16}},
        {"hint", FeatureType::String, true, std::nullopt},
    };
    description.outputs = {
        {"logits", FeatureType::MultiArray, false, MultiArrayConstraint{{1, 1, 10}, DataType::Float16}},
        {"alignment_heads_weights", FeatureType::MultiArray, true, MultiArrayConstraint{{1, 6}, DataType::Float16}},
    };
    return description;
}

DictionaryFeatureProvider validInputs() {
    return DictionaryFeatureProvider({{"input_ids", MultiArray({1}, DataType::Int32)},
                                      {"key_cache", MultiArray({1, 8, 1, 4}, DataType::Float16)}});
}

std::string messageOf(const Model& model, const FeatureProvider& inputs) {
    try {
        model.predict(inputs);
    } catch (const Error& error) {
        return error.what();
    }
    return "no error";
}

}  // namespace

TEST(ComputeUnits, Names) {
    struct Case {
        ComputeUnits units;
        const char* description;
        const char* displayName;
    };
    const Case cases[] = {
        {ComputeUnits::cpuOnly, "cpuOnly", "CPU"},
        {ComputeUnits::cpuAndGPU, "cpuAndGPU", "GPU"},
        {ComputeUnits::all, "all", "All"},
        {ComputeUnits::cpuAndNeuralEngine, "cpuAndNeuralEngine", "Neural Engine"},
        {static_cast<ComputeUnits>(7), "unknown", "Unknown"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(description(c.units), c.description);
        EXPECT_EQ(displayName(c.units), c.displayName);
    }
}

TEST(FeatureProvider, NamesAreExactAndKindsAreKept) {
    MultiArray audio({4}, DataType::Float32);
    DictionaryFeatureProvider provider({{"audio", audio}, {"count", 3}, {"scale", 0.5}, {"label", std::string("x")}});
    EXPECT_EQ(provider.featureNames(), (std::set<std::string>{"audio", "count", "label", "scale"}));
    EXPECT_FALSE(provider.featureValue("Audio"));
    EXPECT_TRUE(provider.requireMultiArray("audio").sharesStorage(audio));
    EXPECT_EQ(provider.featureValue("count")->int64Value(), 3);
    EXPECT_EQ(provider.featureValue("scale")->type(), FeatureType::Double);
    EXPECT_EQ(provider.featureValue("label")->stringValue(), "x");
    EXPECT_FALSE(provider.featureValue("label")->multiArrayValue());

    EXPECT_EQ([&]() -> std::string {
        try {
            provider.requireMultiArray("label");
        } catch (const Error& e) {
            return e.what();
        }
        return "";
    }(), "feature \"label\" is not a multi-array");
    EXPECT_THROW(provider.requireMultiArray("Audio"), Error);
}

TEST(ModelDescription, LooksFeaturesUpByName) {
    const ModelDescription description = decoderLikeDescription();
    ASSERT_NE(description.input("key_cache"), nullptr);
    EXPECT_EQ(description.input("key_cache")->multiArrayConstraint->shape, (std::vector<int64_t>{1, 8, 1, 4}));
    EXPECT_EQ(description.output("logits")->multiArrayConstraint->dataType, DataType::Float16);
    EXPECT_EQ(description.input("logits"), nullptr);
    EXPECT_EQ(description.output("Logits"), nullptr);

    // A constraint on a feature that is not a multi-array is ignored rather than read through.
    ModelDescription odd;
    odd.inputs.push_back({"n", FeatureType::Int64, false, MultiArrayConstraint{{1}, DataType::Int32}});
    EXPECT_NO_THROW(odd.validateInputs(DictionaryFeatureProvider({{"n", 5}})));
}

// The test model checks inputs like a real model before anything runs, and gives zero-filled
// outputs of the declared shapes when it has no handler.
TEST(TestModel, ValidatesInputsAndAnswersWithZeros) {
    TestModel model(decoderLikeDescription(), {}, ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(model.computeUnits(), ComputeUnits::cpuAndNeuralEngine);

    auto outputs = model.predict(validInputs());
    const MultiArray logits = outputs->requireMultiArray("logits");
    EXPECT_EQ(logits.shape(), (std::vector<int64_t>{1, 1, 10}));
    EXPECT_EQ(logits.dataType(), DataType::Float16);
    EXPECT_EQ(logits.toFloats(), std::vector<float>(10, 0.0f));
    EXPECT_EQ(model.predictionCount(), 1);

    const std::pair<DictionaryFeatureProvider, std::string> bad[] = {
        {DictionaryFeatureProvider({{"input_ids", MultiArray({1}, DataType::Int32)}}),
         "required input feature \"key_cache\" is missing"},
        {DictionaryFeatureProvider({{"input_ids", 5}, {"key_cache", MultiArray({1, 8, 1, 4}, DataType::Float16)}}),
         "input feature \"input_ids\" is int64, expected multiArray"},
        {DictionaryFeatureProvider({{"input_ids", MultiArray({1}, DataType::Int32)},
                                    {"key_cache", MultiArray({1, 8, 1, 5}, DataType::Float16)}}),
         "input feature \"key_cache\" has shape [1, 8, 1, 5], expected [1, 8, 1, 4]"},
    };
    for (const auto& [inputs, message] : bad) EXPECT_EQ(messageOf(model, inputs), message);
    EXPECT_EQ(model.predictionCount(), 1);

    // Another element type of the right shape is accepted: models convert their inputs.
    DictionaryFeatureProvider floatIds({{"input_ids", MultiArray({1}, DataType::Float32)},
                                        {"key_cache", MultiArray({1, 8, 1, 4}, DataType::Float32)}});
    EXPECT_NO_THROW(model.predict(floatIds));
}

TEST(TestModel, HandlerResultsAreCheckedAgainstTheOutputs) {
    TestModel echo(decoderLikeDescription(), [](const FeatureProvider& inputs) {
        MultiArray logits({1, 1, 10}, DataType::Float16);
        logits.setValue(static_cast<int64_t>(inputs.requireMultiArray("input_ids").value(0)), 1.0);
        return std::make_shared<DictionaryFeatureProvider>(std::map<std::string, FeatureValue>{{"logits", logits}});
    });
    auto inputs = validInputs();
    inputs.requireMultiArray("input_ids").setValue(0, 3);  // handles share storage with the provider's array
    EXPECT_EQ(echo.predict(inputs)->requireMultiArray("logits").value(3), 1.0);
    EXPECT_FALSE(echo.predict(inputs)->featureValue("alignment_heads_weights"));

    TestModel forgetful(decoderLikeDescription(),
                        [](const FeatureProvider&) { return std::make_shared<DictionaryFeatureProvider>(); });
    EXPECT_EQ(messageOf(forgetful, validInputs()), "required output feature \"logits\" is missing");

    TestModel failing(decoderLikeDescription(), [](const FeatureProvider&) -> std::shared_ptr<FeatureProvider> {
        throw Error(Error::Code::invalidModel, "weights.bin: truncated");
    });
    EXPECT_EQ(messageOf(failing, validInputs()), "weights.bin: truncated");
}

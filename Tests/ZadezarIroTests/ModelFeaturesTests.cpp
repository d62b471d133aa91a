#include "ZadezarIro/Core/ModelFeatures.hpp"

#include <gtest/gtest.h>

#include "MLRuntime/Error.hpp"

using namespace zadezariro;
using mlruntime::DataType;
using mlruntime::MultiArray;

namespace {
MultiArray array(float value, std::vector<int64_t> shape = {1, 2}) {
    MultiArray a(std::move(shape), DataType::Float32);
    a.fill(value);
    return a;
}
float first(const std::optional<mlruntime::FeatureValue>& value) { return static_cast<float>(value->multiArrayValue()->value(0)); }
}  // namespace

TEST(ModelInputs, NamesAreExactAndEachYieldsItsOwnArray) {
    const MelSpectrogramInput mel(array(1));
    EXPECT_EQ(mel.featureNames(), (std::set<std::string>{"audio"}));
    EXPECT_FALSE(mel.featureValue("Audio"));
    EXPECT_EQ(first(mel.featureValue("audio")), 1);
    EXPECT_TRUE(mel.featureValue("audio")->multiArrayValue()->sharesStorage(mel.audio));

    const AudioEncoderInput encoder(mlruntime::Tensor(std::vector<float>{2, 2}, {1, 2}));
    EXPECT_EQ(encoder.featureNames(), (std::set<std::string>{"melspectrogram_features"}));
    EXPECT_EQ(first(encoder.featureValue("melspectrogram_features")), 2);

    const TextDecoderInput decoder(array(1), array(2), array(3), array(4), array(5), array(6), array(7));
    const std::vector<std::string> names = {"input_ids", "cache_length", "key_cache", "value_cache", "kv_cache_update_mask",
                                            "encoder_output_embeds", "decoder_key_padding_mask"};
    EXPECT_EQ(decoder.featureNames(), std::set<std::string>(names.begin(), names.end()));
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(first(decoder.featureValue(names[i])), static_cast<float>(i + 1)) << names[i];
    EXPECT_FALSE(decoder.featureValue("logits"));

    const TextDecoderInput fromTensors(mlruntime::Tensor(std::vector<int32_t>{5}, {1}), mlruntime::Tensor(std::vector<int32_t>{0}, {1}),
                                       mlruntime::Tensor(array(3)), mlruntime::Tensor(array(4)), mlruntime::Tensor(array(5)),
                                       mlruntime::Tensor(array(6)), mlruntime::Tensor(array(7)));
    EXPECT_EQ(fromTensors.input_ids.dataType(), DataType::Int32);
    EXPECT_EQ(first(fromTensors.featureValue("input_ids")), 5);
}

TEST(ModelOutputs, BuiltFromArraysOrWrappingAModelResult) {
    const TextDecoderOutput built(array(1), array(2), array(3), array(4));
    EXPECT_EQ(built.featureNames(), (std::set<std::string>{"logits", "key_cache_updates", "value_cache_updates"}));
    EXPECT_FALSE(built.alignment_heads_weights());
    EXPECT_FALSE(built.alignment_heads_weightsShapedArray());
    EXPECT_EQ(built.value_cache_updates().value(0), 3);
    const auto half = built.logitsShapedArray();
    EXPECT_EQ(half.scalarType(), DataType::Float16);
    EXPECT_EQ(half.shape(), (std::vector<int64_t>{1, 2}));

    auto result = std::make_shared<mlruntime::DictionaryFeatureProvider>(std::map<std::string, mlruntime::FeatureValue>{
        {"something_else", mlruntime::FeatureValue(array(8))}, {"alignment_heads_weights", mlruntime::FeatureValue(array(0.5f))}});
    const MelSpectrogramOutput mel(result);
    EXPECT_EQ(mel.featureNames(), (std::set<std::string>{"alignment_heads_weights", "something_else"}));
    // A model that did not produce a required feature is an error naming it, not a crash.
    try {
        mel.melspectrogramFeatures();
        ADD_FAILURE();
    } catch (const mlruntime::Error& e) {
        EXPECT_EQ(e.code(), mlruntime::Error::Code::missingFeature);
        EXPECT_NE(std::string(e.what()).find("melspectrogram_features"), std::string::npos);
    }
    EXPECT_THROW(mel.melspectrogram_featuresShapedArray(), mlruntime::Error);
    const TextDecoderOutput decoder(result);
    EXPECT_THROW(decoder.logits(), mlruntime::Error);
    ASSERT_TRUE(decoder.alignment_heads_weights());
    EXPECT_EQ(decoder.alignment_heads_weightsShapedArray()->toFloatArray(), (std::vector<float>{0.5f, 0.5f}));

    const AudioEncoderOutput encoder(array(9));
    EXPECT_EQ(encoder.encoder_output_embeds().value(1), 9);
    EXPECT_EQ(encoder.encoder_output_embedsShapedArray().toFloatArray(), (std::vector<float>{9, 9}));
}

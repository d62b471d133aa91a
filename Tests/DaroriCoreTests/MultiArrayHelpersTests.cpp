#include "DaroriCore/ModelLoading.hpp"
#include "DaroriCore/MultiArrayHelpers.hpp"

#include <cmath>

#include <gtest/gtest.h>

#include "MLRuntime/TestModel.hpp"

using namespace darori;
using mlruntime::DataType;
using mlruntime::Half;
using mlruntime::MultiArray;

TEST(MultiArrayHelpers, CreatesArraysWithTheInitialValue) {
    const MultiArray half = makeMultiArray({1, 4, 1, 3}, DataType::Float16, Half(-10000.0f));
    ASSERT_EQ(half.count(), 12);
    for (int64_t i = 0; i < half.count(); ++i) EXPECT_EQ(half.elements<Half>()[i].bits, 0xF0E2) << i;

    const MultiArray floats = makeMultiArray({2, 3}, DataType::Float32, 1.5f);
    for (const float v : floats.elements<float>()) EXPECT_EQ(v, 1.5f);
    // An integer value for a float array leaves the storage as allocated (zeros here).
    const MultiArray untouched = makeMultiArray({2, 3}, DataType::Float32, 1);
    for (const float v : untouched.elements<float>()) EXPECT_EQ(v, 0.0f);

    const MultiArray ints = makeMultiArray({3}, DataType::Int32, int32_t{7});
    EXPECT_EQ(ints.elements<int32_t>()[2], 7);
    const MultiArray bytes = makeMultiArray({2}, DataType::Int8, int8_t{-3});
    EXPECT_EQ(bytes.elements<int8_t>()[1], -3);
    EXPECT_EQ(makeMultiArray({2}, DataType::Float64, 0.25).elements<double>()[1], 0.25);

    EXPECT_THROW(makeMultiArray({}, DataType::Float16, Half(1.0f)), MLMultiArrayCreationError);
    try {
        makeMultiArray({}, DataType::Float16, Half(1.0f));
    } catch (const MLMultiArrayCreationError& e) {
        EXPECT_EQ(e.errorDescription(), "Failed to create IOSurface-backed pixel buffer for MLMultiArray");
    }
    EXPECT_THROW(makeMultiArray({}, DataType::Float32, 1.0f), mlruntime::Error);
}

TEST(MultiArrayHelpers, LinearOffsets) {
    const MultiArray a({2, 3, 4}, DataType::Float32);
    const std::vector<int64_t> index{0, 2, 5}, strides{100, 10, 1};
    EXPECT_EQ(linearOffset(a, index, std::span<const int64_t>(strides)), 25);
    EXPECT_EQ(linearOffset(a, std::vector<int64_t>{1, 2, 3}), 12 + 8 + 3);  // the array's own strides
    EXPECT_THROW(linearOffset(a, index, std::span<const int64_t>(strides).first(2)), mlruntime::Error);
}

TEST(MultiArrayHelpers, FillSkipsBadIndexes) {
    MultiArray logits = makeMultiArray({1, 1, 51865}, DataType::Float16, Half(0.0f));
    fill(logits, {{0, 0, 7}, {0, 0, 51865}, {0, 7}, {0, 0, -1}, {0, 1, 3}}, Half::negativeInfinity());
    const auto values = logits.elements<Half>();
    for (int64_t i = 0; i < logits.count(); ++i) {
        EXPECT_EQ(std::isinf(values[i].toFloat()), i == 7) << i;
    }
    MultiArray null;
    fill(null, {{}, {0}}, 1.0f);  // nothing to write, and no write through a null pointer
    // A value of another element type is refused before anything is written.
    EXPECT_THROW(fill(logits, {{0, 0, 1}}, 1.0f), mlruntime::Error);
    EXPECT_EQ(values[1].toFloat(), 0.0f);
}

TEST(MultiArrayHelpers, FillLastDimension) {
    MultiArray logits = makeMultiArray({1, 1, 8}, DataType::Float16, Half(0.0f));
    fillLastDimension(logits, 3, 6, Half(2.0f));
    fillLastDimension(logits, 7, 7, Half(9.0f));  // empty range
    const auto values = logits.elements<Half>();
    for (int64_t i = 0; i < 8; ++i) EXPECT_EQ(values[i].toFloat(), (i >= 3 && i < 6) ? 2.0f : 0.0f) << i;

    struct Bad { int64_t lower, upper; };
    for (const Bad b : {Bad{-1, 2}, Bad{5, 9}, Bad{4, 3}}) {
        EXPECT_THROW(fillLastDimension(logits, b.lower, b.upper, Half(1.0f)), mlruntime::Error) << b.lower << ".." << b.upper;
    }
    MultiArray wrongShape = makeMultiArray({2, 1, 8}, DataType::Float16, Half(0.0f));
    EXPECT_THROW(fillLastDimension(wrongShape, 0, 1, Half(1.0f)), mlruntime::Error);
    MultiArray wrongType = makeMultiArray({1, 1, 8}, DataType::Float32, 0.0f);
    EXPECT_THROW(fillLastDimension(wrongType, 0, 1, Half(1.0f)), mlruntime::Error);
    for (const float v : wrongType.elements<float>()) EXPECT_EQ(v, 0.0f);
    for (int64_t i = 0; i < 8; ++i) EXPECT_EQ(values[i].toFloat(), (i >= 3 && i < 6) ? 2.0f : 0.0f) << i;
}

TEST(MultiArrayHelpers, FromIntegers) {
    const MultiArray a = multiArrayFrom({5, 6, 7}, 3);
    EXPECT_EQ(a.shape(), (std::vector<int64_t>{1, 1, 3}));
    EXPECT_EQ(a.dataType(), DataType::Int32);
    EXPECT_EQ(std::vector<int32_t>(a.elements<int32_t>().begin(), a.elements<int32_t>().end()), (std::vector<int32_t>{5, 6, 7}));
    EXPECT_EQ(multiArrayFrom({4}, 1).shape(), (std::vector<int64_t>{1}));
    EXPECT_THROW(multiArrayFrom({1}, 0), mlruntime::Error);
    EXPECT_THROW(multiArrayFrom({int64_t{1} << 40}, 1), mlruntime::Error);
}

TEST(ModelLoading, PredictionRunsTheModel) {
    using namespace mlruntime;
    ModelDescription d;
    d.inputs.push_back({"x", FeatureType::MultiArray, false, MultiArrayConstraint{{1}, DataType::Float32}});
    d.outputs.push_back({"y", FeatureType::MultiArray, false, MultiArrayConstraint{{1}, DataType::Float32}});
    const TestModel model(d, [](const FeatureProvider& in) {
        MultiArray y({1}, DataType::Float32);
        y.setValue(0, in.requireMultiArray("x").value(0) * 2);
        return std::make_shared<DictionaryFeatureProvider>(std::map<std::string, FeatureValue>{{"y", y}});
    });
    MultiArray x({1}, DataType::Float32);
    x.setValue(0, 21);
    const auto out = asyncPrediction(model, DictionaryFeatureProvider(std::map<std::string, FeatureValue>{{"x", x}}));
    EXPECT_EQ(out->requireMultiArray("y").value(0), 42);
    const DictionaryFeatureProvider missing;
    EXPECT_THROW(asyncPrediction(model, missing), mlruntime::Error);  // the model's error passes through
}

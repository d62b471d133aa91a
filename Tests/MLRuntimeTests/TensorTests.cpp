#include "MLRuntime/Tensor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace mlruntime;

TEST(Tensor, ConvertsItsScalarsByType) {
    const Tensor integers(std::vector<int32_t>{5, -6, 7}, {1, 3});
    EXPECT_EQ(integers.scalarType(), DataType::Int32);
    EXPECT_EQ(integers.toIntArray(), (std::vector<int>{5, -6, 7}));
    EXPECT_EQ(integers.toFloatArray(), (std::vector<float>{5, -6, 7}));

    const Tensor halves(std::vector<Half>{Half(0.5f), Half::negativeInfinity(), Half(-10000.0f)}, {3});
    EXPECT_EQ(halves.toFloatArray(), (std::vector<float>{0.5f, -INFINITY, -10000.0f}));

    const Tensor floats(std::vector<float>{1.5f, 2.5f}, {2, 1});
    EXPECT_EQ(floats.toFloatArray(), (std::vector<float>{1.5f, 2.5f}));
    MultiArray array = floats.toMultiArray();
    EXPECT_EQ(array.dataType(), DataType::Float32);
    EXPECT_EQ(array.shape(), (std::vector<int64_t>{2, 1}));
    EXPECT_EQ(array.toFloats(), (std::vector<float>{1.5f, 2.5f}));
    array.setValue(0, 9.0);  // the new array is the caller's own
    EXPECT_EQ(floats.toFloatArray()[0], 1.5f);
}

TEST(Tensor, UnsupportedScalarTypesAreNamed) {
    struct Case {
        Tensor tensor;
        const char* message;
    };
    const Case cases[] = {
        {Tensor(std::vector<float>{1.0f}, {1}), "Unsupported scalar type: Float"},     // integers from floats
        {Tensor(std::vector<double>{1.0}, {1}), "Unsupported scalar type: Double"},
        {Tensor(std::vector<int8_t>{1}, {1}), "Unsupported scalar type: Int8"},
    };
    try {
        cases[0].tensor.toIntArray();
        ADD_FAILURE();
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), cases[0].message);
        EXPECT_EQ(error.code(), Error::Code::unsupported);
    }
    for (size_t i = 1; i < std::size(cases); ++i) {
        for (auto convert : {+[](const Tensor& t) { t.toFloatArray(); }, +[](const Tensor& t) { t.toMultiArray(); },
                             +[](const Tensor& t) { t.toIntArray(); }}) {
            try {
                convert(cases[i].tensor);
                ADD_FAILURE() << cases[i].message;
            } catch (const Error& error) {
                EXPECT_STREQ(error.what(), cases[i].message);
            }
        }
    }
}

// A tensor made from a strided array holds its elements in row-major order and does not see later
// writes to the array.
TEST(Tensor, SnapshotsAStridedArray) {
    std::vector<int32_t> buffer{1, 2, 0, 3, 4, 0};
    MultiArray array = MultiArray::borrowing(buffer.data(), buffer.size() * 4, {2, 2}, DataType::Int32, {3, 1});
    const Tensor tensor(array);
    buffer[0] = 99;
    EXPECT_EQ(tensor.toIntArray(), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(tensor.shape(), (std::vector<int64_t>{2, 2}));
    EXPECT_THROW(Tensor{MultiArray()}, Error);
}

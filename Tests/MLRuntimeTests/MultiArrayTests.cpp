#include "MLRuntime/MultiArray.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

using namespace mlruntime;

namespace {

template <class Fn>
Error::Code codeOf(Fn&& fn) {
    try {
        fn();
    } catch (const Error& error) {
        return error.code();
    }
    ADD_FAILURE() << "no mlruntime::Error thrown";
    return Error::Code::invalidModel;
}

}  // namespace

TEST(MultiArray, OwnedArrayIsRowMajorAndZeroFilled) {
    MultiArray array({2, 3, 4}, DataType::Float16);
    EXPECT_EQ(array.strides(), (std::vector<int64_t>{12, 4, 1}));
    EXPECT_EQ(array.count(), 24);
    EXPECT_EQ(array.storageCount(), 24);
    EXPECT_TRUE(array.isContiguous());
    EXPECT_FALSE(array.isBorrowed());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(array.data()) % 64, 0u);
    for (Half h : array.elements<Half>()) ASSERT_EQ(h.bits, 0);

    EXPECT_EQ(array.linearOffset({1, 2, 3}), 23);
    array.set<Half>(std::vector<int64_t>{1, 0, 2}, Half(2.5f));
    EXPECT_EQ(array.typedData<Half>()[14].toFloat(), 2.5f);
    EXPECT_EQ(array.value({1, 0, 2}), 2.5);
}

TEST(MultiArray, IndexesOutsideTheShapeOrOfTheWrongRankAreRejected) {
    MultiArray array({1, 1, 5}, DataType::Float32);
    EXPECT_EQ(codeOf([&] { array.linearOffset({0, 0, 5}); }), Error::Code::indexOutOfRange);
    EXPECT_EQ(codeOf([&] { array.linearOffset({0, -1, 0}); }), Error::Code::indexOutOfRange);
    EXPECT_EQ(codeOf([&] { array.linearOffset({0, 4}); }), Error::Code::indexOutOfRange);
    EXPECT_EQ(codeOf([&] { array.setValue(5, 1.0); }), Error::Code::indexOutOfRange);
    EXPECT_EQ(codeOf([&] { array.value(-1); }), Error::Code::indexOutOfRange);
    EXPECT_EQ(codeOf([&] { array.typedData<Half>(); }), Error::Code::typeMismatch);
    EXPECT_EQ(codeOf([&] { array.fill(int32_t{1}); }), Error::Code::typeMismatch);
}

TEST(MultiArray, LinearOffsetWithGivenStrides) {
    const std::vector<int64_t> index{0, 2, 5};
    const std::vector<int64_t> strides{100, 10, 1};
    EXPECT_EQ(MultiArray::linearOffset(index, strides), 25);
    EXPECT_EQ(MultiArray::linearOffset(std::vector<int64_t>{3, 4}, strides), 340);  // strides may be longer
    EXPECT_EQ(codeOf([&] { MultiArray::linearOffset(index, std::vector<int64_t>{100, 10}); }),
              Error::Code::invalidArgument);
    // A sum beyond 64 bits is an error, not a wrapped offset.
    const std::vector<int64_t> huge{int64_t{1} << 62, int64_t{1} << 62};
    EXPECT_EQ(codeOf([&] { MultiArray::linearOffset(huge, std::vector<int64_t>{2, 2}); }), Error::Code::invalidArgument);
    EXPECT_EQ(codeOf([&] { MultiArray::linearOffset(std::vector<int64_t>{int64_t{1} << 62}, std::vector<int64_t>{4}); }),
              Error::Code::invalidArgument);
}

TEST(MultiArray, BadShapesAreRejected) {
    const std::vector<std::vector<int64_t>> shapes{{}, {2, -1}, {int64_t{1} << 40, int64_t{1} << 40}};
    for (const auto& shape : shapes)
        EXPECT_EQ(codeOf([&] { MultiArray(shape, DataType::Int8); }), Error::Code::invalidArgument);
    EXPECT_EQ(MultiArray({0, 3}, DataType::Int32).count(), 0);
    EXPECT_TRUE(MultiArray().isNull());
    EXPECT_EQ(MultiArray().count(), 0);
}

TEST(MultiArray, CopiesShareStorageAndClonesDoNot) {
    MultiArray array({4}, DataType::Int32);
    MultiArray handle = array;
    MultiArray copy = array.clone();
    handle.setValue(2, 7);
    EXPECT_EQ(array.value(2), 7);
    EXPECT_EQ(copy.value(2), 0);
    EXPECT_TRUE(handle.sharesStorage(array));
    EXPECT_FALSE(copy.sharesStorage(array));
}

// Rows of 4 floats in a caller buffer whose rows are 5 floats apart: reads and writes land in the
// caller's memory at the strided positions and never touch the padding.
TEST(MultiArray, BorrowedStridedStorage) {
    std::vector<float> buffer(10, -1.0f);
    MultiArray array = MultiArray::borrowing(buffer.data(), buffer.size() * sizeof(float), {2, 4}, DataType::Float32, {5, 1});
    EXPECT_TRUE(array.isBorrowed());
    EXPECT_FALSE(array.isContiguous());
    EXPECT_EQ(array.storageCount(), 9);

    array.fill(3.0f);
    array.set<float>(std::vector<int64_t>{1, 2}, 9.0f);
    EXPECT_EQ(buffer, (std::vector<float>{3, 3, 3, 3, -1, 3, 3, 9, 3, -1}));
    EXPECT_EQ(array.toFloats(), (std::vector<float>{3, 3, 3, 3, 3, 3, 9, 3}));

    MultiArray copy = array.clone();
    EXPECT_TRUE(copy.isContiguous());
    EXPECT_EQ(copy.toFloats(), array.toFloats());
    copy.setValue(0, 0.0);
    EXPECT_EQ(buffer[0], 3.0f);
}

TEST(MultiArray, BorrowedStorageIsCheckedAtTheDoor) {
    std::vector<float> buffer(9);
    void* data = buffer.data();
    const size_t bytes = buffer.size() * sizeof(float);
    EXPECT_EQ(codeOf([&] { MultiArray::borrowing(data, bytes - 1, {2, 4}, DataType::Float32, {5, 1}); }),
              Error::Code::invalidArgument);
    EXPECT_EQ(codeOf([&] { MultiArray::borrowing(data, bytes, {3, 4}, DataType::Float32); }), Error::Code::invalidArgument);
    EXPECT_EQ(codeOf([&] { MultiArray::borrowing(data, bytes, {2, 4}, DataType::Float32, {5}); }),
              Error::Code::invalidArgument);
    EXPECT_EQ(codeOf([&] { MultiArray::borrowing(data, bytes, {2, 2}, DataType::Float32, {-1, 1}); }),
              Error::Code::invalidArgument);
    EXPECT_EQ(codeOf([&] { MultiArray::borrowing(static_cast<char*>(data) + 1, bytes - 4, {2}, DataType::Float32); }),
              Error::Code::invalidArgument);
    EXPECT_EQ(codeOf([&] { MultiArray::borrowing(nullptr, 0, {1}, DataType::Int8); }), Error::Code::invalidArgument);
    // Strides so large that their sum overflows must not slip past the size check.
    EXPECT_EQ(codeOf([&] { MultiArray::borrowing(data, bytes, {3, 2}, DataType::Int8, {int64_t{1} << 62, 1}); }),
              Error::Code::invalidArgument);
    EXPECT_EQ(MultiArray::borrowing(data, bytes, {2, 4}, DataType::Float32, {5, 1}).count(), 8);
}

TEST(MultiArray, BorrowedStorageOwnerIsKeptAlive) {
    auto buffer = std::make_shared<std::vector<int32_t>>(std::vector<int32_t>{1, 2, 3});
    std::weak_ptr<std::vector<int32_t>> watch = buffer;
    MultiArray array = MultiArray::borrowing(buffer->data(), 12, {3}, DataType::Int32, {}, buffer);
    buffer.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(array.value(2), 3);
    array = MultiArray();
    EXPECT_TRUE(watch.expired());
}

TEST(MultiArray, ValuesConvertWithTheElementTypesRules) {
    struct Case {
        DataType type;
        double written;
        double readBack;
    };
    const Case cases[] = {
        {DataType::Int8, 300, 127},      {DataType::Int8, -300, -128},   {DataType::Int8, 2.9, 2},
        {DataType::Int8, -2.9, -2},      {DataType::Int8, NAN, 0},       {DataType::Int32, 1e12, 2147483647},
        {DataType::Int32, -7.5, -7},     {DataType::Float16, 1.0 + 0x1p-11, 1.0},
        {DataType::Float16, 70000, INFINITY}, {DataType::Float32, 0.1, static_cast<float>(0.1)},
        {DataType::Float64, 0.1, 0.1},
    };
    for (const auto& c : cases) {
        MultiArray array({1}, c.type);
        array.setValue(0, c.written);
        EXPECT_EQ(array.value(0), c.readBack) << traits(c.type).name << " " << c.written;
    }
}

TEST(MultiArray, ConvertedAndCopying) {
    const std::vector<float> values{0.5f, -1.25f, 65504.0f, 1e-3f, 7.0f, 100000.0f};
    MultiArray floats = MultiArray::copying<float>(values, {2, 3});
    MultiArray halves = floats.converted(DataType::Float16);
    EXPECT_EQ(halves.dataType(), DataType::Float16);
    EXPECT_EQ(halves.shape(), (std::vector<int64_t>{2, 3}));
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(halves.typedData<Half>()[i].bits, Half(values[i]).bits);

    MultiArray integers = halves.converted(DataType::Int32);
    EXPECT_EQ(integers.toFloats(), (std::vector<float>{0, -1, 65504, 0, 7, 2147483648.0f}));
    EXPECT_EQ(codeOf([&] { MultiArray::copying<float>(values, {4}); }), Error::Code::invalidArgument);
}

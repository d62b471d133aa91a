#include "MLRuntime/Tensor.hpp"

#include <string>

namespace mlruntime {

Tensor::Tensor(const MultiArray& array) {
    if (array.isNull()) throw Error(Error::Code::invalidArgument, "cannot make a tensor of a null multi-array");
    scalars_ = array.clone();
}

void Tensor::requireOneOf(std::initializer_list<DataType> types) const {
    for (DataType type : types) {
        if (type == scalarType()) return;
    }
    throw Error(Error::Code::unsupported, "Unsupported scalar type: " + std::string(traits(scalarType()).scalarName));
}

std::vector<int> Tensor::toIntArray() const {
    requireOneOf({DataType::Int32});
    const int32_t* values = scalars_.typedData<int32_t>();
    return std::vector<int>(values, values + count());
}

std::vector<float> Tensor::toFloatArray() const {
    requireOneOf({DataType::Float32, DataType::Float16, DataType::Int32});
    return scalars_.toFloats();
}

MultiArray Tensor::toMultiArray() const {
    requireOneOf({DataType::Float32, DataType::Float16, DataType::Int32});
    return scalars_.clone();
}

}  // namespace mlruntime

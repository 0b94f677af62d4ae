// Element types of multi-arrays and their names in model folders.
//
// Used by MultiArray, the model descriptions and the model-folder readers. Pure functions,
// thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

#include "platform/ml/float16.hpp"

namespace platform::ml {

enum class DataType { float16, float32, float64, int32, int8 };

// "float16", "float32", "float64", "int32", "int8".
std::string_view dataTypeName(DataType type);
// The type of a name written by dataTypeName, or absent for any other text.
std::optional<DataType> parseDataType(std::string_view name);
// Bytes per element: 2, 4, 8, 4, 1.
std::size_t elementSize(DataType type);
// True for float16, float32 and float64.
bool isFloatingPoint(DataType type);

// The C++ element type of each data type (Float16 for float16).
template <class T>
inline constexpr bool isElementType =
    std::is_same_v<T, Float16> || std::is_same_v<T, float> || std::is_same_v<T, double> ||
    std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int8_t>;

template <class T>
constexpr DataType dataTypeOf() {
  static_assert(isElementType<std::remove_const_t<T>>, "not an element type of a multi-array");
  using U = std::remove_const_t<T>;
  if constexpr (std::is_same_v<U, Float16>)
    return DataType::float16;
  else if constexpr (std::is_same_v<U, float>)
    return DataType::float32;
  else if constexpr (std::is_same_v<U, double>)
    return DataType::float64;
  else if constexpr (std::is_same_v<U, std::int32_t>)
    return DataType::int32;
  else
    return DataType::int8;
}

}  // namespace platform::ml

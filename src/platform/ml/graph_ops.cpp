#include "platform/ml/graph_ops.hpp"

#include <Eigen/Core>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/sys/checked_cast.hpp"

namespace platform::ml::ops {

namespace {

[[noreturn]] void fail(const std::string& message) { throw PredictionError(message); }

MultiArray asFloat32(const MultiArray& array) { return array.converted(DataType::float32); }

// A shape seen as [outer, n, inner] around one axis.
struct Split {
  std::int64_t outer = 1;
  std::int64_t n = 1;
  std::int64_t inner = 1;
};

Split splitAt(const Shape& shape, std::int64_t axis) {
  Split split;
  split.n = shape[static_cast<std::size_t>(axis)];
  for (std::int64_t i = 0; i < axis; ++i) split.outer *= shape[static_cast<std::size_t>(i)];
  for (std::size_t i = static_cast<std::size_t>(axis) + 1; i < shape.size(); ++i) split.inner *= shape[i];
  return split;
}

std::byte* bytesOf(MultiArray& array) { return static_cast<std::byte*>(array.data()); }
const std::byte* bytesOf(const MultiArray& array) { return static_cast<const std::byte*>(array.data()); }

void copyElements(std::byte* destination, const std::byte* source, std::int64_t count, std::size_t size) {
  if (count > 0) std::memcpy(destination, source, static_cast<std::size_t>(count) * size);
}

// Calls body(i, offsetA, offsetB) for every index i of `shape` in row-major order, where the
// offsets advance by `stridesA` and `stridesB` per dimension.
template <class F>
void forEachIndex(const Shape& shape, const Shape& stridesA, const Shape& stridesB, F&& body) {
  const std::int64_t total = elementCount(shape);
  if (total == 0) return;
  const std::size_t rank = shape.size();
  std::vector<std::int64_t> index(rank, 0);
  std::int64_t a = 0;
  std::int64_t b = 0;
  for (std::int64_t i = 0; i < total; ++i) {
    body(i, a, b);
    for (std::size_t d = rank; d-- > 0;) {
      ++index[d];
      a += stridesA[d];
      b += stridesB[d];
      if (index[d] < shape[d]) break;
      a -= stridesA[d] * index[d];
      b -= stridesB[d] * index[d];
      index[d] = 0;
    }
  }
}

Shape broadcastShapes(const Shape& a, const Shape& b) {
  const std::size_t rank = std::max(a.size(), b.size());
  Shape out(rank);
  for (std::size_t i = 0; i < rank; ++i) {
    const std::int64_t da = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
    const std::int64_t db = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
    if (da == db || db == 1) {
      out[i] = da;
    } else if (da == 1) {
      out[i] = db;
    } else {
      fail("cannot broadcast " + shapeText(a) + " with " + shapeText(b));
    }
  }
  return out;
}

// Strides of `shape` seen inside the broadcast shape `out` (0 along broadcast dimensions).
Shape broadcastStrides(const Shape& shape, const Shape& out) {
  Shape strides(out.size(), 0);
  const Shape own = rowMajorStrides(shape);
  const std::size_t lead = out.size() - shape.size();
  for (std::size_t i = 0; i < shape.size(); ++i) strides[lead + i] = shape[i] == 1 ? 0 : own[i];
  return strides;
}

template <class F>
MultiArray binaryWith(const MultiArray& a0, const MultiArray& b0, F op) {
  const MultiArray a = asFloat32(a0);
  const MultiArray b = asFloat32(b0);
  MultiArray result(broadcastShapes(a.shape(), b.shape()), DataType::float32);
  const float* pa = a.span<float>().data();
  const float* pb = b.span<float>().data();
  float* pr = result.span<float>().data();
  const std::int64_t count = result.count();
  if (a.shape() == b.shape()) {
    for (std::int64_t i = 0; i < count; ++i) pr[i] = op(pa[i], pb[i]);
  } else if (b.count() == 1) {
    const float y = pb[0];
    for (std::int64_t i = 0; i < count; ++i) pr[i] = op(pa[i], y);
  } else {
    forEachIndex(result.shape(), broadcastStrides(a.shape(), result.shape()),
                 broadcastStrides(b.shape(), result.shape()),
                 [&](std::int64_t i, std::int64_t oa, std::int64_t ob) { pr[i] = op(pa[oa], pb[ob]); });
  }
  return result;
}

template <class F>
MultiArray unaryWith(const MultiArray& input, F op) {
  const MultiArray a = asFloat32(input);
  MultiArray result(a.shape(), DataType::float32);
  const float* pa = a.span<float>().data();
  float* pr = result.span<float>().data();
  for (std::int64_t i = 0; i < a.count(); ++i) pr[i] = op(pa[i]);
  return result;
}

std::int64_t readIndex(const MultiArray& indices, std::int64_t i) {
  const double value = indices.doubleAt(i);
  const auto index = platform::sys::checkedIntegerCast<std::int64_t>(value);
  if (!index || static_cast<double>(*index) != value) fail("index " + std::to_string(value) + " is not an integer");
  return *index;
}

}  // namespace

std::int64_t normalizedAxis(std::int64_t axis, std::size_t rank) {
  const std::int64_t r = static_cast<std::int64_t>(rank);
  const std::int64_t a = axis < 0 ? axis + r : axis;
  if (a < 0 || a >= r) fail("axis " + std::to_string(axis) + " is outside rank " + std::to_string(rank));
  return a;
}

MultiArray reshape(const MultiArray& input, const Shape& target) {
  Shape shape = target;
  std::int64_t known = 1;
  std::size_t inferred = shape.size();
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == -1) {
      if (inferred != shape.size()) fail("more than one inferred dimension in " + shapeText(target));
      inferred = i;
    } else if (shape[i] < 0) {
      fail("invalid shape " + shapeText(target));
    } else if (__builtin_mul_overflow(known, shape[i], &known)) {
      fail("shape " + shapeText(target) + " is too large");
    }
  }
  if (inferred != shape.size()) {
    if (known == 0 || input.count() % known != 0) {
      fail("Cannot reshape " + shapeText(input.shape()) + " to " + shapeText(target));
    }
    shape[inferred] = input.count() / known;
  }
  try {
    return input.reshaped(std::move(shape));
  } catch (const MultiArrayError& e) {
    fail(e.what());
  }
}

MultiArray transpose(const MultiArray& input, std::span<const std::int64_t> perm) {
  const std::size_t rank = input.rank();
  if (perm.size() != rank)
    fail("permutation of length " + std::to_string(perm.size()) + " for rank " + std::to_string(rank));
  std::vector<bool> seen(rank, false);
  Shape shape(rank);
  Shape strides(rank);
  for (std::size_t i = 0; i < rank; ++i) {
    if (perm[i] < 0 || perm[i] >= static_cast<std::int64_t>(rank) || seen[static_cast<std::size_t>(perm[i])]) {
      fail("invalid permutation");
    }
    seen[static_cast<std::size_t>(perm[i])] = true;
    shape[i] = input.shape()[static_cast<std::size_t>(perm[i])];
    strides[i] = input.strides()[static_cast<std::size_t>(perm[i])];
  }
  MultiArray result(shape, input.dataType());
  const std::size_t size = elementSize(input.dataType());
  const std::byte* source = bytesOf(input);
  std::byte* destination = bytesOf(result);
  const Shape none(rank, 0);
  forEachIndex(shape, strides, none, [&](std::int64_t i, std::int64_t offset, std::int64_t) {
    std::memcpy(destination + static_cast<std::size_t>(i) * size, source + static_cast<std::size_t>(offset) * size,
                size);
  });
  return result;
}

MultiArray slice(const MultiArray& input, std::int64_t axis, std::int64_t begin, std::int64_t end, std::int64_t step) {
  if (step <= 0) fail("slice step must be positive");
  axis = normalizedAxis(axis, input.rank());
  const Split split = splitAt(input.shape(), axis);
  const std::int64_t n = split.n;
  if (begin < 0) begin += n;
  if (end < 0) end += n;
  begin = std::clamp<std::int64_t>(begin, 0, n);
  end = std::clamp<std::int64_t>(end, 0, n);
  const std::int64_t count = end > begin ? (end - begin - 1) / step + 1 : 0;  // no overflow for a huge step
  Shape shape = input.shape();
  shape[static_cast<std::size_t>(axis)] = count;
  MultiArray result(shape, input.dataType());
  const std::size_t size = elementSize(input.dataType());
  const std::byte* source = bytesOf(input);
  std::byte* destination = bytesOf(result);
  for (std::int64_t o = 0; o < split.outer; ++o) {
    for (std::int64_t j = 0; j < count; ++j) {
      const std::int64_t from = (o * n + begin + j * step) * split.inner;
      const std::int64_t to = (o * count + j) * split.inner;
      copyElements(destination + static_cast<std::size_t>(to) * size, source + static_cast<std::size_t>(from) * size,
                   split.inner, size);
    }
  }
  return result;
}

MultiArray pad(const MultiArray& input, std::span<const std::pair<std::int64_t, std::int64_t>> pads, double value) {
  const std::size_t rank = input.rank();
  if (pads.size() != rank)
    fail("pads for " + std::to_string(pads.size()) + " dimensions, rank " + std::to_string(rank));
  Shape shape = input.shape();
  for (std::size_t i = 0; i < rank; ++i) {
    if (pads[i].first < 0 || pads[i].second < 0) fail("negative padding");
    if (__builtin_add_overflow(shape[i], pads[i].first, &shape[i]) ||
        __builtin_add_overflow(shape[i], pads[i].second, &shape[i])) {
      fail("padding of " + shapeText(input.shape()) + " is too large");
    }
  }
  MultiArray result(shape, input.dataType());
  result.fill(value);
  const Shape& outStrides = result.strides();
  std::int64_t base = 0;
  for (std::size_t i = 0; i < rank; ++i) base += pads[i].first * outStrides[i];
  const std::size_t size = elementSize(input.dataType());
  const std::byte* source = bytesOf(input);
  std::byte* destination = bytesOf(result) + static_cast<std::size_t>(base) * size;
  const Shape none(rank, 0);
  forEachIndex(input.shape(), outStrides, none, [&](std::int64_t i, std::int64_t offset, std::int64_t) {
    std::memcpy(destination + static_cast<std::size_t>(offset) * size, source + static_cast<std::size_t>(i) * size,
                size);
  });
  return result;
}

MultiArray concat(std::span<const MultiArray> inputs, std::int64_t axis) {
  if (inputs.empty()) fail("concat of nothing");
  const MultiArray& first = inputs.front();
  axis = normalizedAxis(axis, first.rank());
  Shape shape = first.shape();
  shape[static_cast<std::size_t>(axis)] = 0;
  for (const MultiArray& input : inputs) {
    bool compatible = input.rank() == first.rank();
    for (std::size_t d = 0; compatible && d < first.rank(); ++d) {
      compatible = d == static_cast<std::size_t>(axis) || input.shape()[d] == first.shape()[d];
    }
    if (!compatible) fail("cannot concatenate " + shapeText(first.shape()) + " and " + shapeText(input.shape()));
    shape[static_cast<std::size_t>(axis)] += input.shape()[static_cast<std::size_t>(axis)];
  }
  MultiArray result(shape, first.dataType());
  const std::size_t size = elementSize(first.dataType());
  const Split out = splitAt(shape, axis);
  std::byte* destination = bytesOf(result);
  std::int64_t position = 0;
  for (const MultiArray& input0 : inputs) {
    const MultiArray input = input0.converted(first.dataType());
    const Split split = splitAt(input.shape(), axis);
    const std::byte* source = bytesOf(input);
    for (std::int64_t o = 0; o < split.outer; ++o) {
      copyElements(destination + static_cast<std::size_t>((o * out.n + position) * out.inner) * size,
                   source + static_cast<std::size_t>(o * split.n * split.inner) * size, split.n * split.inner, size);
    }
    position += split.n;
  }
  return result;
}

MultiArray gather(const MultiArray& data, const MultiArray& indices, std::int64_t axis) {
  axis = normalizedAxis(axis, data.rank());
  const Split split = splitAt(data.shape(), axis);
  Shape shape(data.shape().begin(), data.shape().begin() + axis);
  shape.insert(shape.end(), indices.shape().begin(), indices.shape().end());
  shape.insert(shape.end(), data.shape().begin() + axis + 1, data.shape().end());
  std::vector<std::int64_t> resolved(static_cast<std::size_t>(indices.count()));
  for (std::int64_t k = 0; k < indices.count(); ++k) {
    std::int64_t index = readIndex(indices, k);
    if (index < 0) index += split.n;
    if (index < 0 || index >= split.n) {
      fail("index " + std::to_string(readIndex(indices, k)) + " outside dimension of size " + std::to_string(split.n));
    }
    resolved[static_cast<std::size_t>(k)] = index;
  }
  MultiArray result(shape, data.dataType());
  const std::size_t size = elementSize(data.dataType());
  const std::byte* source = bytesOf(data);
  std::byte* destination = bytesOf(result);
  const auto k = static_cast<std::int64_t>(resolved.size());
  for (std::int64_t o = 0; o < split.outer; ++o) {
    for (std::int64_t j = 0; j < k; ++j) {
      copyElements(
          destination + static_cast<std::size_t>((o * k + j) * split.inner) * size,
          source + static_cast<std::size_t>((o * split.n + resolved[static_cast<std::size_t>(j)]) * split.inner) * size,
          split.inner, size);
    }
  }
  return result;
}

MultiArray frame(const MultiArray& input, std::int64_t axis, std::int64_t size, std::int64_t hop) {
  if (size <= 0 || hop <= 0) fail("frame size and hop must be positive");
  axis = normalizedAxis(axis, input.rank());
  const Split split = splitAt(input.shape(), axis);
  const std::int64_t count = split.n >= size ? (split.n - size) / hop + 1 : 0;
  Shape shape(input.shape().begin(), input.shape().begin() + axis);
  shape.push_back(count);
  shape.push_back(size);
  shape.insert(shape.end(), input.shape().begin() + axis + 1, input.shape().end());
  MultiArray result(shape, input.dataType());
  const std::size_t bytes = elementSize(input.dataType());
  const std::byte* source = bytesOf(input);
  std::byte* destination = bytesOf(result);
  for (std::int64_t o = 0; o < split.outer; ++o) {
    for (std::int64_t c = 0; c < count; ++c) {
      copyElements(destination + static_cast<std::size_t>(((o * count + c) * size) * split.inner) * bytes,
                   source + static_cast<std::size_t>((o * split.n + c * hop) * split.inner) * bytes, size * split.inner,
                   bytes);
    }
  }
  return result;
}

MultiArray matmul(const MultiArray& a0, const MultiArray& b0) {
  if (a0.rank() < 2 || b0.rank() < 2) {
    fail("matmul needs rank 2 or more, got " + shapeText(a0.shape()) + " and " + shapeText(b0.shape()));
  }
  const MultiArray a = asFloat32(a0);
  const MultiArray b = asFloat32(b0);
  const std::int64_t m = a.shape()[a.rank() - 2];
  const std::int64_t k = a.shape()[a.rank() - 1];
  const std::int64_t n = b.shape()[b.rank() - 1];
  if (b.shape()[b.rank() - 2] != k) fail("matmul of " + shapeText(a.shape()) + " and " + shapeText(b.shape()));
  const Shape batchA(a.shape().begin(), a.shape().end() - 2);
  const Shape batchB(b.shape().begin(), b.shape().end() - 2);
  Shape shape = broadcastShapes(batchA, batchB);
  const Shape batch = shape;
  shape.push_back(m);
  shape.push_back(n);
  MultiArray result(shape, DataType::float32);
  if (m == 0 || n == 0 || k == 0) return result;
  using RowMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  const float* pa = a.span<float>().data();
  const float* pb = b.span<float>().data();
  float* pr = result.span<float>().data();
  auto multiply = [&](std::int64_t i, std::int64_t oa, std::int64_t ob) {
    Eigen::Map<const RowMatrix> left(pa + oa * m * k, m, k);
    Eigen::Map<const RowMatrix> right(pb + ob * k * n, k, n);
    Eigen::Map<RowMatrix> out(pr + i * m * n, m, n);
    out.noalias() = left * right;
  };
  if (batch.empty()) {
    multiply(0, 0, 0);
  } else {
    forEachIndex(batch, broadcastStrides(batchA, batch), broadcastStrides(batchB, batch), multiply);
  }
  return result;
}

MultiArray binary(Binary op, const MultiArray& a, const MultiArray& b) {
  switch (op) {
    case Binary::add:
      return binaryWith(a, b, [](float x, float y) { return x + y; });
    case Binary::sub:
      return binaryWith(a, b, [](float x, float y) { return x - y; });
    case Binary::mul:
      return binaryWith(a, b, [](float x, float y) { return x * y; });
    case Binary::div:
      return binaryWith(a, b, [](float x, float y) { return x / y; });
    case Binary::greater:
      return binaryWith(a, b, [](float x, float y) { return x > y ? 1.0f : 0.0f; });
    case Binary::maximum:
      return binaryWith(a, b, [](float x, float y) { return std::isnan(x) || x > y ? x : y; });
    case Binary::minimum:
      return binaryWith(a, b, [](float x, float y) { return std::isnan(x) || x < y ? x : y; });
  }
  fail("unknown binary operation");
}

MultiArray unary(Unary op, const MultiArray& input, float epsilon) {
  switch (op) {
    case Unary::square:
      return unaryWith(input, [](float x) { return x * x; });
    case Unary::sqrt:
      return unaryWith(input, [](float x) { return std::sqrt(x); });
    case Unary::exp:
      return unaryWith(input, [](float x) { return std::exp(x); });
    case Unary::log:
      return unaryWith(input, [epsilon](float x) { return std::log(x + epsilon); });
    case Unary::relu:
      return unaryWith(input, [](float x) { return x > 0 ? x : 0.0f; });
    case Unary::sigmoid:
      return unaryWith(input, [](float x) { return 1.0f / (1.0f + std::exp(-x)); });
    case Unary::tanh:
      return unaryWith(input, [](float x) { return std::tanh(x); });
  }
  fail("unknown unary operation");
}

namespace {

// A float32 copy of `input` whose lines along `axis` are rewritten in place by
// `body(first, count, stride)`, one line at a time in a fixed order.
template <class Body>
MultiArray transformLines(const MultiArray& input, std::int64_t axis, Body body) {
  axis = normalizedAxis(axis, input.rank());
  MultiArray result = asFloat32(input).copy();
  const Split split = splitAt(result.shape(), axis);
  float* p = result.span<float>().data();
  for (std::int64_t o = 0; o < split.outer; ++o) {
    for (std::int64_t in = 0; in < split.inner; ++in) body(p + o * split.n * split.inner + in, split.n, split.inner);
  }
  return result;
}

}  // namespace

MultiArray softmax(const MultiArray& input, std::int64_t axis) {
  return transformLines(input, axis, [](float* row, std::int64_t n, std::int64_t stride) {
    float largest = -std::numeric_limits<float>::infinity();
    for (std::int64_t j = 0; j < n; ++j) largest = std::max(largest, row[j * stride]);
    float sum = 0;
    for (std::int64_t j = 0; j < n; ++j) {
      row[j * stride] = std::exp(row[j * stride] - largest);
      sum += row[j * stride];
    }
    for (std::int64_t j = 0; j < n; ++j) row[j * stride] /= sum;
  });
}

MultiArray reduce(Reduce op, const MultiArray& input0, std::span<const std::int64_t> axes, bool keepDims) {
  const MultiArray input = asFloat32(input0);
  const std::size_t rank = input.rank();
  std::vector<bool> reduced(rank, axes.empty());
  for (std::int64_t axis : axes) reduced[static_cast<std::size_t>(normalizedAxis(axis, rank))] = true;
  Shape kept = input.shape();
  Shape squeezed;
  std::int64_t reducedCount = 1;
  for (std::size_t d = 0; d < rank; ++d) {
    if (reduced[d]) {
      reducedCount *= kept[d];
      kept[d] = 1;
    } else {
      squeezed.push_back(kept[d]);
    }
  }
  Shape outStrides = rowMajorStrides(kept);
  for (std::size_t d = 0; d < rank; ++d) {
    if (reduced[d]) outStrides[d] = 0;
  }
  const std::int64_t outCount = elementCount(kept);
  const double initial = op == Reduce::max ? -std::numeric_limits<double>::infinity() : 0.0;
  std::vector<double> accumulator(static_cast<std::size_t>(outCount), initial);
  const float* p = input.span<float>().data();
  const Shape none(rank, 0);
  forEachIndex(input.shape(), outStrides, none, [&](std::int64_t i, std::int64_t o, std::int64_t) {
    double& acc = accumulator[static_cast<std::size_t>(o)];
    const double v = p[i];
    if (op == Reduce::max) {
      if (std::isnan(v) || v > acc) acc = v;
    } else {
      acc += v;
    }
  });
  MultiArray result(keepDims ? kept : squeezed, DataType::float32);
  float* r = result.span<float>().data();
  for (std::int64_t i = 0; i < outCount; ++i) {
    double v = accumulator[static_cast<std::size_t>(i)];
    if (op == Reduce::mean) v /= static_cast<double>(reducedCount);
    r[i] = static_cast<float>(v);
  }
  return result;
}

MultiArray argmax(const MultiArray& input0, std::int64_t axis, bool keepDims) {
  const MultiArray input = asFloat32(input0);
  axis = normalizedAxis(axis, input.rank());
  const Split split = splitAt(input.shape(), axis);
  if (split.n == 0) fail("argmax over an empty dimension");
  Shape shape = input.shape();
  if (keepDims) {
    shape[static_cast<std::size_t>(axis)] = 1;
  } else {
    shape.erase(shape.begin() + axis);
  }
  MultiArray result(shape, DataType::int32);
  const float* p = input.span<float>().data();
  std::int32_t* r = result.span<std::int32_t>().data();
  for (std::int64_t o = 0; o < split.outer; ++o) {
    for (std::int64_t in = 0; in < split.inner; ++in) {
      const float* row = p + o * split.n * split.inner + in;
      std::int64_t best = 0;
      for (std::int64_t j = 1; j < split.n; ++j) {
        if (row[j * split.inner] > row[best * split.inner]) best = j;
      }
      r[o * split.inner + in] = static_cast<std::int32_t>(best);
    }
  }
  return result;
}

MultiArray l2Normalize(const MultiArray& input, std::int64_t axis, float epsilon) {
  return transformLines(input, axis, [epsilon](float* row, std::int64_t n, std::int64_t stride) {
    double sum = 0;
    for (std::int64_t j = 0; j < n; ++j) sum += static_cast<double>(row[j * stride]) * row[j * stride];
    const auto norm = static_cast<float>(std::max(std::sqrt(sum), static_cast<double>(epsilon)));
    for (std::int64_t j = 0; j < n; ++j) row[j * stride] /= norm;
  });
}

}  // namespace platform::ml::ops

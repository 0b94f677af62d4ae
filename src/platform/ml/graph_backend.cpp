#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <system_error>
#include <unordered_map>

#include "platform/ml/graph_ops.hpp"
#include "platform/ml/model_folder.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sys/checked_number.hpp"

namespace platform::ml {

namespace fs = std::filesystem;
using platform::json::Json;

namespace {

static_assert(std::endian::native == std::endian::little, "weights.bin is read as little-endian");

enum class Op {
  constant,
  reshape,
  transpose,
  slice,
  pad,
  concat,
  gather,
  frame,
  matmul,
  add,
  sub,
  mul,
  div,
  maximum,
  minimum,
  square,
  sqrt,
  exp,
  log,
  relu,
  sigmoid,
  tanh,
  softmax,
  greater,
  reduceSum,
  reduceMean,
  reduceMax,
  argmax,
  l2Normalize,
  cast
};

const std::map<std::string, Op, std::less<>>& operations() {
  static const std::map<std::string, Op, std::less<>> table = {{"constant", Op::constant},
                                                               {"reshape", Op::reshape},
                                                               {"transpose", Op::transpose},
                                                               {"slice", Op::slice},
                                                               {"pad", Op::pad},
                                                               {"concat", Op::concat},
                                                               {"gather", Op::gather},
                                                               {"frame", Op::frame},
                                                               {"matmul", Op::matmul},
                                                               {"add", Op::add},
                                                               {"sub", Op::sub},
                                                               {"mul", Op::mul},
                                                               {"div", Op::div},
                                                               {"maximum", Op::maximum},
                                                               {"minimum", Op::minimum},
                                                               {"square", Op::square},
                                                               {"sqrt", Op::sqrt},
                                                               {"exp", Op::exp},
                                                               {"log", Op::log},
                                                               {"relu", Op::relu},
                                                               {"sigmoid", Op::sigmoid},
                                                               {"tanh", Op::tanh},
                                                               {"softmax", Op::softmax},
                                                               {"greater", Op::greater},
                                                               {"reduce_sum", Op::reduceSum},
                                                               {"reduce_mean", Op::reduceMean},
                                                               {"reduce_max", Op::reduceMax},
                                                               {"argmax", Op::argmax},
                                                               {"l2_normalize", Op::l2Normalize},
                                                               {"cast", Op::cast}};
  return table;
}

struct Node {
  Op op = Op::constant;
  std::string opName;
  std::string output;
  std::vector<std::size_t> inputs;  // tensor slots
  std::size_t slot = 0;             // output slot
  Shape shape;
  Shape axes;
  std::int64_t axis = -1;
  std::int64_t begin = 0;
  std::int64_t end = 0;
  std::int64_t step = 1;
  std::int64_t size = 0;
  std::int64_t hop = 0;
  std::vector<std::pair<std::int64_t, std::int64_t>> pads;
  double value = 0;
  bool hasValue = false;
  bool keepDims = false;
  float epsilon = 0;
  DataType dataType = DataType::float32;
  MultiArray constant;
};

class WeightsFile {
 public:
  explicit WeightsFile(fs::path path) : path_(std::move(path)) {}

  // `count` elements of `type` at byte `offset`.
  MultiArray read(const std::string& node, const Shape& shape, DataType type, std::int64_t offset) {
    if (!loaded_) load(node);
    MultiArray array(shape, type);
    const auto bytes = static_cast<std::int64_t>(array.byteCount());
    if (offset < 0 || offset > static_cast<std::int64_t>(data_.size()) ||
        bytes > static_cast<std::int64_t>(data_.size()) - offset) {
      throw ModelLoadError("Weight of constant \"" + node + "\" (" + std::to_string(bytes) + " bytes at offset " +
                           std::to_string(offset) + ") lies outside weights.bin (" + std::to_string(data_.size()) +
                           " bytes)");
    }
    if (bytes > 0) std::memcpy(array.data(), data_.data() + offset, static_cast<std::size_t>(bytes));
    return array;
  }

 private:
  void load(const std::string& node) {
    std::ifstream stream(path_, std::ios::binary);
    if (!stream)
      throw ModelLoadError("Missing weights file " + path_.string() + " needed by constant \"" + node + "\"");
    data_.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    if (stream.bad()) throw ModelLoadError("Cannot read " + path_.string());
    loaded_ = true;
  }

  fs::path path_;
  std::vector<char> data_;
  bool loaded_ = false;
};

class GraphBackend final : public ModelBackend {
 public:
  GraphBackend(const Json& graph, const fs::path& weightsFile, const ModelDescription& description) {
    for (const auto& feature : description.inputs) define(feature.name, "input");
    for (const auto& feature : description.states)
      stateSlots_.emplace_back(feature.name, define(feature.name, "state"));
    if (!graph.is_object()) throw ModelLoadError("\"graph\" is not an object");
    auto nodes = graph.find("nodes");
    if (nodes == graph.end() || !nodes->is_array()) throw ModelLoadError("\"graph\" has no \"nodes\" list");
    WeightsFile weights(weightsFile);
    for (const Json& item : *nodes) nodes_.push_back(parseNode(item, weights));
    for (const auto& feature : description.outputs) {
      auto it = slots_.find(feature.name);
      if (it == slots_.end()) {
        if (feature.isOptional) continue;
        throw ModelLoadError("No node produces output \"" + feature.name + "\"");
      }
      outputs_.emplace_back(feature.name, it->second);
    }
    if (auto updates = graph.find("stateUpdates"); updates != graph.end()) {
      if (!updates->is_object()) throw ModelLoadError("\"stateUpdates\" is not an object");
      for (const auto& [state, tensor] : updates->items()) {
        const FeatureDescription* feature = description.state(state);
        if (feature == nullptr) throw ModelLoadError("\"stateUpdates\" names unknown state \"" + state + "\"");
        if (!tensor.is_string()) throw ModelLoadError("\"stateUpdates\" of \"" + state + "\" is not a tensor name");
        stateUpdates_.push_back({feature->name, feature->multiArrayConstraint->dataType,
                                 slotOf(tensor.get<std::string>(), "state update of \"" + state + "\"")});
      }
    }
    stateful_ = !description.states.empty();
  }

  DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, State* state,
                                    std::stop_token stopToken) const override {
    if (stateful_ && state == nullptr) throw PredictionError("This model is stateful: predict with a State");
    std::vector<std::optional<MultiArray>> values(slotCount_);
    for (const auto& [name, value] : inputs.values()) {
      if (auto it = slots_.find(name); it != slots_.end()) values[it->second] = value.multiArrayValue();
    }
    for (const auto& [name, slot] : stateSlots_) values[slot] = state->multiArray(name);
    for (const Node& node : nodes_) {
      platform::sync::throwIfStopped(stopToken);
      try {
        values[node.slot] = run(node, values);
      } catch (const MLError& e) {
        throw PredictionError("Node \"" + node.output + "\" (" + node.opName + "): " + e.what());
      }
    }
    // A tensor may be a state buffer itself or a view of one (a state read, a reshape). Every
    // update and output is detached from the state buffers before the first buffer is written,
    // so that updates see the values of this prediction (also when two states swap) and outputs
    // keep them after later predictions.
    std::vector<MultiArray> buffers;
    for (const auto& [name, slot] : stateSlots_) {
      std::optional<MultiArray> buffer = state != nullptr ? state->multiArray(name) : std::nullopt;
      if (!buffer) throw PredictionError("State \"" + name + "\" has no buffer");
      buffers.push_back(*buffer);
    }
    const auto detached = [&buffers](const MultiArray& array) {
      for (const MultiArray& buffer : buffers) {
        if (array.sharesStorageWith(buffer)) return array.copy();
      }
      return array;
    };
    std::vector<std::pair<MultiArray, MultiArray>> writes;  // (buffer, update)
    for (const StateUpdate& stateUpdate : stateUpdates_) {
      const MultiArray update =
          detached(value(values, stateUpdate.slot, "state update").converted(stateUpdate.dataType));
      MultiArray buffer = *state->multiArray(stateUpdate.name);
      if (update.shape() != buffer.shape()) {
        throw PredictionError("State \"" + stateUpdate.name + "\": update of shape " + shapeText(update.shape()) +
                              " for a buffer of shape " + shapeText(buffer.shape()));
      }
      writes.emplace_back(std::move(buffer), update);
    }
    DictionaryFeatureProvider outputs;
    for (const auto& [name, slot] : outputs_) {
      if (values[slot]) outputs.set(name, detached(*values[slot]));
    }
    for (auto& [buffer, update] : writes) {
      if (update.byteCount() > 0) std::memcpy(buffer.data(), update.data(), update.byteCount());
    }
    return outputs;
  }

 private:
  std::size_t define(const std::string& name, const std::string& what) {
    if (name.empty()) throw ModelLoadError("Empty tensor name for " + what);
    if (slots_.count(name) != 0) throw ModelLoadError("Tensor \"" + name + "\" is defined twice");
    slots_.emplace(name, slotCount_);
    return slotCount_++;
  }

  std::size_t slotOf(const std::string& name, const std::string& user) const {
    auto it = slots_.find(name);
    if (it == slots_.end()) throw ModelLoadError("Unknown tensor \"" + name + "\" used by " + user);
    return it->second;
  }

  static const MultiArray& value(const std::vector<std::optional<MultiArray>>& values, std::size_t slot,
                                 std::string_view what) {
    if (!values[slot])
      throw PredictionError("tensor for " + std::string(what) + " has no value (optional input left out)");
    return *values[slot];
  }

  Node parseNode(const Json& item, WeightsFile& weights) {
    if (!item.is_object()) throw ModelLoadError("A graph node is not an object");
    Node node;
    node.output = platform::json::requireAs<std::string>(item, "output");
    node.opName = platform::json::requireAs<std::string>(item, "op");
    const std::string context = "Node \"" + node.output + "\" (" + node.opName + ")";
    auto op = operations().find(node.opName);
    if (op == operations().end())
      throw ModelLoadError("Unknown operation \"" + node.opName + "\" in node \"" + node.output + "\"");
    node.op = op->second;
    std::vector<std::string> inputNames;
    if (item.contains("inputs")) inputNames = platform::json::requireAs<std::vector<std::string>>(item, "inputs");
    for (const auto& name : inputNames) node.inputs.push_back(slotOf(name, context));

    auto integer = [&](std::string_view key, std::optional<std::int64_t> fallback) -> std::int64_t {
      auto it = item.find(key);
      if (it == item.end()) {
        if (fallback) return *fallback;
        throw ModelLoadError(context + ": missing \"" + std::string(key) + "\"");
      }
      if (!it->is_number_integer()) throw ModelLoadError(context + ": \"" + std::string(key) + "\" must be an integer");
      return it->get<std::int64_t>();
    };
    auto number = [&](std::string_view key, double fallback) -> double {
      auto it = item.find(key);
      if (it == item.end()) return fallback;
      if (!it->is_number()) throw ModelLoadError(context + ": \"" + std::string(key) + "\" must be a number");
      return it->get<double>();
    };
    auto floatAttribute = [&](std::string_view key, double fallback) -> float {
      const auto value = platform::sys::checkedFloatCast(number(key, fallback));
      if (!value || !std::isfinite(*value)) {
        throw ModelLoadError(context + ": \"" + std::string(key) + "\" must be a finite 32-bit float");
      }
      return *value;
    };
    auto dataType = [&]() {
      const auto name = platform::json::requireAs<std::string>(item, "dataType");
      auto type = parseDataType(name);
      if (!type) throw ModelLoadError(context + ": unknown data type \"" + name + "\"");
      return *type;
    };
    auto arity = [&](std::size_t low, std::size_t high) {
      if (node.inputs.size() < low || node.inputs.size() > high) {
        throw ModelLoadError(context + ": takes " + std::to_string(low) + (high != low ? " or more" : "") +
                             " inputs, got " + std::to_string(node.inputs.size()));
      }
    };

    switch (node.op) {
      case Op::constant: {
        arity(0, 0);
        node.dataType = dataType();
        node.shape = readIntegerList(item, "shape", context);
        try {
          if (item.contains("values")) {
            const auto values = platform::json::requireAs<std::vector<double>>(item, "values");
            node.constant = MultiArray(node.shape, node.dataType);
            if (static_cast<std::int64_t>(values.size()) != node.constant.count()) {
              throw ModelLoadError(context + ": " + std::to_string(values.size()) + " values for shape " +
                                   shapeText(node.shape));
            }
            for (std::size_t i = 0; i < values.size(); ++i)
              node.constant.setDouble(static_cast<std::int64_t>(i), values[i]);
          } else {
            node.constant = weights.read(node.output, node.shape, node.dataType, integer("offset", std::nullopt));
          }
        } catch (const MultiArrayError& e) {
          throw ModelLoadError(context + ": " + e.what());
        }
        break;
      }
      case Op::reshape:
        arity(1, 1);
        node.shape = readIntegerList(item, "shape", context);
        break;
      case Op::transpose:
        arity(1, 1);
        node.shape = readIntegerList(item, "perm", context);
        break;
      case Op::slice:
        arity(1, 1);
        node.axis = integer("axis", std::nullopt);
        node.begin = integer("begin", 0);
        node.end = integer("end", std::numeric_limits<std::int64_t>::max());
        node.step = integer("step", 1);
        if (node.step <= 0) throw ModelLoadError(context + ": \"step\" must be positive");
        break;
      case Op::pad: {
        arity(1, 1);
        auto it = item.find("pads");
        if (it == item.end() || !it->is_array()) throw ModelLoadError(context + ": missing \"pads\"");
        for (const Json& pair : *it) {
          if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() || !pair[1].is_number_integer() ||
              pair[0].get<std::int64_t>() < 0 || pair[1].get<std::int64_t>() < 0) {
            throw ModelLoadError(context + ": \"pads\" must hold [before, after] pairs of non-negative integers");
          }
          node.pads.emplace_back(pair[0].get<std::int64_t>(), pair[1].get<std::int64_t>());
        }
        node.value = number("value", 0);
        break;
      }
      case Op::concat:
        arity(1, std::numeric_limits<std::size_t>::max());
        node.axis = integer("axis", std::nullopt);
        break;
      case Op::gather:
        arity(2, 2);
        node.axis = integer("axis", 0);
        break;
      case Op::frame:
        arity(1, 1);
        node.axis = integer("axis", std::nullopt);
        node.size = integer("size", std::nullopt);
        node.hop = integer("hop", std::nullopt);
        if (node.size <= 0 || node.hop <= 0) throw ModelLoadError(context + ": \"size\" and \"hop\" must be positive");
        break;
      case Op::matmul:
      case Op::add:
      case Op::sub:
      case Op::mul:
      case Op::div:
      case Op::maximum:
      case Op::minimum:
        arity(2, 2);
        break;
      case Op::greater:
        node.hasValue = item.contains("value");
        arity(node.hasValue ? 1 : 2, node.hasValue ? 1 : 2);
        node.value = number("value", 0);
        break;
      case Op::log:
        arity(1, 1);
        node.epsilon = floatAttribute("epsilon", 0);
        break;
      case Op::square:
      case Op::sqrt:
      case Op::exp:
      case Op::relu:
      case Op::sigmoid:
      case Op::tanh:
        arity(1, 1);
        break;
      case Op::softmax:
        arity(1, 1);
        node.axis = integer("axis", -1);
        break;
      case Op::reduceSum:
      case Op::reduceMean:
      case Op::reduceMax:
        arity(1, 1);
        if (item.contains("axes")) node.axes = readIntegerList(item, "axes", context);
        node.keepDims = platform::json::optionalAs<bool>(item, "keepDims").value_or(false);
        break;
      case Op::argmax:
        arity(1, 1);
        node.axis = integer("axis", -1);
        node.keepDims = platform::json::optionalAs<bool>(item, "keepDims").value_or(false);
        break;
      case Op::l2Normalize:
        arity(1, 1);
        node.axis = integer("axis", -1);
        node.epsilon = floatAttribute("epsilon", 1e-12);
        break;
      case Op::cast:
        arity(1, 1);
        node.dataType = dataType();
        break;
    }
    node.slot = define(node.output, context);
    return node;
  }

  static MultiArray run(const Node& node, const std::vector<std::optional<MultiArray>>& values) {
    auto in = [&](std::size_t i) -> const MultiArray& { return value(values, node.inputs[i], "input"); };
    switch (node.op) {
      case Op::constant:
        return node.constant;
      case Op::reshape:
        return ops::reshape(in(0), node.shape);
      case Op::transpose:
        return ops::transpose(in(0), node.shape);
      case Op::slice:
        return ops::slice(in(0), node.axis, node.begin, node.end, node.step);
      case Op::pad:
        return ops::pad(in(0), node.pads, node.value);
      case Op::concat: {
        std::vector<MultiArray> parts;
        for (std::size_t i = 0; i < node.inputs.size(); ++i) parts.push_back(in(i));
        return ops::concat(parts, node.axis);
      }
      case Op::gather:
        return ops::gather(in(0), in(1), node.axis);
      case Op::frame:
        return ops::frame(in(0), node.axis, node.size, node.hop);
      case Op::matmul:
        return ops::matmul(in(0), in(1));
      case Op::add:
        return ops::binary(ops::Binary::add, in(0), in(1));
      case Op::sub:
        return ops::binary(ops::Binary::sub, in(0), in(1));
      case Op::mul:
        return ops::binary(ops::Binary::mul, in(0), in(1));
      case Op::div:
        return ops::binary(ops::Binary::div, in(0), in(1));
      case Op::maximum:
        return ops::binary(ops::Binary::maximum, in(0), in(1));
      case Op::minimum:
        return ops::binary(ops::Binary::minimum, in(0), in(1));
      case Op::greater: {
        if (!node.hasValue) return ops::binary(ops::Binary::greater, in(0), in(1));
        MultiArray threshold(Shape{}, DataType::float32);
        threshold.setDouble(0, node.value);
        return ops::binary(ops::Binary::greater, in(0), threshold);
      }
      case Op::square:
        return ops::unary(ops::Unary::square, in(0));
      case Op::sqrt:
        return ops::unary(ops::Unary::sqrt, in(0));
      case Op::exp:
        return ops::unary(ops::Unary::exp, in(0));
      case Op::log:
        return ops::unary(ops::Unary::log, in(0), node.epsilon);
      case Op::relu:
        return ops::unary(ops::Unary::relu, in(0));
      case Op::sigmoid:
        return ops::unary(ops::Unary::sigmoid, in(0));
      case Op::tanh:
        return ops::unary(ops::Unary::tanh, in(0));
      case Op::softmax:
        return ops::softmax(in(0), node.axis);
      case Op::reduceSum:
        return ops::reduce(ops::Reduce::sum, in(0), node.axes, node.keepDims);
      case Op::reduceMean:
        return ops::reduce(ops::Reduce::mean, in(0), node.axes, node.keepDims);
      case Op::reduceMax:
        return ops::reduce(ops::Reduce::max, in(0), node.axes, node.keepDims);
      case Op::argmax:
        return ops::argmax(in(0), node.axis, node.keepDims);
      case Op::l2Normalize:
        return ops::l2Normalize(in(0), node.axis, node.epsilon);
      case Op::cast:
        return in(0).converted(node.dataType);
    }
    throw PredictionError("unknown operation");
  }

  std::unordered_map<std::string, std::size_t> slots_;
  std::size_t slotCount_ = 0;
  std::vector<Node> nodes_;
  std::vector<std::pair<std::string, std::size_t>> outputs_;
  std::vector<std::pair<std::string, std::size_t>> stateSlots_;
  struct StateUpdate {
    std::string name;
    DataType dataType;
    std::size_t slot;
  };
  std::vector<StateUpdate> stateUpdates_;
  bool stateful_ = false;
};

}  // namespace

std::unique_ptr<const ModelBackend> makeGraphBackend(const Json& graph, const fs::path& weightsFile,
                                                     const ModelDescription& description) {
  return std::make_unique<GraphBackend>(graph, weightsFile, description);
}

}  // namespace platform::ml

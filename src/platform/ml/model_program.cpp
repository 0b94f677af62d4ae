#include "platform/ml/model_program.hpp"

namespace platform::ml {

ModelProgramRegistry& ModelProgramRegistry::shared() {
  static ModelProgramRegistry registry;
  return registry;
}

void ModelProgramRegistry::add(std::string name, ModelProgramFactory factory) {
  mutex_.withLock([&] { factories_.insert_or_assign(std::move(name), std::move(factory)); });
}

bool ModelProgramRegistry::remove(std::string_view name) {
  return mutex_.withLock([&] {
    auto it = factories_.find(name);
    if (it == factories_.end()) return false;
    factories_.erase(it);
    return true;
  });
}

ModelProgramFactory ModelProgramRegistry::find(std::string_view name) const {
  return mutex_.withLock([&]() -> ModelProgramFactory {
    auto it = factories_.find(name);
    return it == factories_.end() ? ModelProgramFactory{} : it->second;
  });
}

}  // namespace platform::ml

#include "transcription/model_status.hpp"

#include <array>
#include <charconv>
#include <set>
#include <utility>

namespace velmoria {
namespace {

using Case = ModelStatus::Case;

// The allowed (from, target) pairs besides the error rules, built once on first use.
const std::set<std::pair<Case, Case>>& allowedTransitions() {
  static const std::set<std::pair<Case, Case>> table = {
      {Case::needsDownload, Case::downloading}, {Case::downloading, Case::downloading},
      {Case::downloading, Case::compiling},     {Case::downloading, Case::loading},
      {Case::compiling, Case::loading},         {Case::loading, Case::ready},
      {Case::ready, Case::running},             {Case::running, Case::ready},
      {Case::ready, Case::needsDownload},       {Case::running, Case::needsDownload},
  };
  return table;
}

std::string doubleText(double value) {
  std::array<char, 32> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  std::string text(buffer.data(), result.ptr);
  if (text.find_first_of(".en") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::string ModelStatus::description() const {
  switch (kind_) {
    case Case::needsDownload:
      return "needsDownload";
    case Case::downloading:
      return "downloading(progress: " + doubleText(progress_) + ")";
    case Case::compiling:
      return "compiling";
    case Case::loading:
      return "loading";
    case Case::ready:
      return "ready";
    case Case::running:
      return "running";
    case Case::error:
      return std::string("error(") + error_->what() + ")";
  }
  return "unknown";
}

bool operator==(const ModelStatus& a, const ModelStatus& b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Case::downloading:
      return a.progress_ == b.progress_;
    case Case::error:
      return *a.error_ == *b.error_;
    default:
      return true;
  }
}

ModelStatus ModelStatusMachine::current() const {
  std::lock_guard lock(mutex_);
  return current_;
}

bool ModelStatusMachine::transition(ModelStatus target) {
  std::lock_guard lock(mutex_);
  if (!isAllowed(current_, target)) return false;
  current_ = std::move(target);
  return true;
}

void ModelStatusMachine::forceSet(ModelStatus status) {
  std::lock_guard lock(mutex_);
  current_ = std::move(status);
}

bool ModelStatusMachine::isAllowed(const ModelStatus& from, const ModelStatus& to) {
  if (to.kind() == Case::error) return true;
  if (from.kind() == Case::error) return to.kind() == Case::needsDownload;
  return allowedTransitions().contains({from.kind(), to.kind()});
}

}  // namespace velmoria

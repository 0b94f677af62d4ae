#include "platform/sys/system.hpp"

#include <malloc.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <utility>

namespace platform::sys {
namespace {

std::optional<std::string> readWholeFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(out).str();
}

std::string_view trimBlanks(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// Calls `visit(key, value)` for each "key : value" line of one processor block; a blank line
// ends a block and calls `endBlock()`.
template <class Visit, class EndBlock>
void forEachCpuInfoLine(std::string_view text, Visit visit, EndBlock endBlock) {
  while (!text.empty()) {
    const auto eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
    if (trimBlanks(line).empty()) {
      endBlock();
      continue;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    visit(trimBlanks(line.substr(0, colon)), trimBlanks(line.substr(colon + 1)));
  }
  endBlock();
}

}  // namespace

int activeProcessorCount() {
  for (int cpus = 1024; cpus <= 1 << 16; cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const int rc = sched_getaffinity(0, size, set);
    const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? count : 1;
    if (errno != EINVAL) break;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

int processorCount() {
  const long configured = sysconf(_SC_NPROCESSORS_CONF);
  return configured > 0 ? static_cast<int>(configured) : 1;
}

int physicalCoreCount() {
  const auto text = readWholeFile("/proc/cpuinfo");
  if (!text) return processorCount();
  std::set<std::pair<std::string, std::string>> cores;
  std::string package, core;
  bool sawCore = false;
  forEachCpuInfoLine(
      *text,
      [&](std::string_view key, std::string_view value) {
        if (key == "physical id") package = value;
        if (key == "core id") {
          core = value;
          sawCore = true;
        }
      },
      [&] {
        if (sawCore) cores.emplace(package, core);
        package.clear();
        core.clear();
        sawCore = false;
      });
  return cores.empty() ? processorCount() : static_cast<int>(cores.size());
}

std::optional<std::uint64_t> residentMemoryBytes() {
  const auto text = readWholeFile("/proc/self/statm");
  if (!text) return std::nullopt;
  std::istringstream in(*text);
  std::uint64_t sizePages = 0, residentPages = 0;
  if (!(in >> sizePages >> residentPages)) return std::nullopt;
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0) return std::nullopt;
  return residentPages * static_cast<std::uint64_t>(page);
}

bool keepLargeAllocationsInHeap(std::size_t bytes) {
  const int value = bytes > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes);
  // Both or neither: a fixed mapping threshold without the trim threshold would trim the kept
  // blocks away again.
  if (::mallopt(M_MMAP_THRESHOLD, value) == 0) return false;
  return ::mallopt(M_TRIM_THRESHOLD, value) != 0;
}

void releaseFreeHeapMemory() { ::malloc_trim(0); }

std::optional<std::uint64_t> physicalMemoryBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return std::nullopt;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

std::optional<std::string> cpuInfoFieldIn(std::string_view cpuinfo, std::string_view key) {
  std::optional<std::string> found;
  bool sawField = false;
  bool firstBlockDone = false;
  forEachCpuInfoLine(
      cpuinfo,
      [&](std::string_view k, std::string_view value) {
        if (firstBlockDone) return;
        sawField = true;
        if (!found && k == key) found = std::string(value);
      },
      [&] {
        // Blank lines before the first field do not end the first block.
        if (sawField) firstBlockDone = true;
      });
  return found;
}

std::optional<std::string> cpuInfoField(std::string_view key) {
  const auto text = readWholeFile("/proc/cpuinfo");
  if (!text) return std::nullopt;
  return cpuInfoFieldIn(*text, key);
}

std::optional<std::string> dmiString(std::string_view name) {
  if (name.empty()) return std::nullopt;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!plain) return std::nullopt;
  }
  const std::string path = "/sys/class/dmi/id/" + std::string(name);
  auto text = readWholeFile(path.c_str());
  if (!text) return std::nullopt;
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
  return text;
}

std::optional<std::string> getEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace platform::sys

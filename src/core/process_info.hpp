// Hardware facts about the machine, read through the names of the kernel's system values that
// the libraries use ("machdep.cpu.brand_string", "hw.model", ...), mapped onto Linux sources.
//
// The speech library reports these and matches hwModel against its device-support table.
// All functions are thread-safe; the named values below are computed once per process.
#pragma once

#include <string>
#include <string_view>

namespace noxtal {

// The text of a named system value, or "" for an unknown name or an unreadable value:
//   "machdep.cpu.brand_string" -> /proc/cpuinfo "model name"
//   "machdep.cpu.vendor"       -> /proc/cpuinfo "vendor_id"
//   "machdep.cpu.family"       -> /proc/cpuinfo "cpu family" (decimal text)
//   "machdep.cpu.core_count"   -> physical cores, decimal text
//   "machdep.cpu.thread_count" -> logical processors, decimal text
//   "hw.model"                 -> /sys/class/dmi/id/product_name
// Invalid UTF-8 in a value is replaced by U+FFFD; the text ends at its first zero byte.
std::string stringFromSysctl(std::string_view name);

// The values above, each read on first use and then returned unchanged.
const std::string& processor();  // machdep.cpu.brand_string
const std::string& cores();      // machdep.cpu.core_count
const std::string& threads();    // machdep.cpu.thread_count
const std::string& vendor();     // machdep.cpu.vendor
const std::string& family();     // machdep.cpu.family
const std::string& hwModel();    // hw.model

}  // namespace noxtal

// Facts about the machine and the process: processor counts, memory figures, CPU and DMI
// strings, environment variables. The stand-in for ProcessInfo, sysctl and task_info.
//
// Everything here reads /proc, /sys or the C library afresh on each call (no caching; callers
// that want a value once keep it themselves). All functions are thread-safe, except that
// getEnvironment must not race with a thread that changes the environment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::sys {

// Processors this process may run on (its CPU affinity mask); falls back to the online
// processor count, and is never below 1.
int activeProcessorCount();

// Logical processors configured on the machine; never below 1.
int processorCount();

// Physical cores (distinct package/core pairs of /proc/cpuinfo); falls back to
// processorCount() when /proc/cpuinfo does not say.
int physicalCoreCount();

// Resident set size of this process in bytes (/proc/self/statm); absent when unreadable.
std::optional<std::uint64_t> residentMemoryBytes();

// Physical memory of the machine in bytes; absent when the C library cannot tell.
std::optional<std::uint64_t> physicalMemoryBytes();

// Keeps blocks up to `bytes` in the allocator's heaps instead of mapping each one afresh, and
// hands free heap memory back only above that much. For a process that runs every request on a
// new thread: with the C library's adaptive defaults each new thread maps, faults in and zeroes
// its large buffers again, which can double a request's time. False when the C library refuses
// a value (the defaults then stay).
bool keepLargeAllocationsInHeap(std::size_t bytes);

// Hands the allocator's free heap memory back to the system (after a large release, such as
// unloading models, when keepLargeAllocationsInHeap keeps it otherwise).
void releaseFreeHeapMemory();

// The value of `key` for the first processor in /proc/cpuinfo ("model name", "vendor_id",
// "cpu family", ...), without surrounding blanks; absent when the file or the key is missing.
std::optional<std::string> cpuInfoField(std::string_view key);

// The same lookup over the given text in /proc/cpuinfo format (one "key<TAB>: value" per line,
// processors separated by blank lines). Used by cpuInfoField and by tests.
std::optional<std::string> cpuInfoFieldIn(std::string_view cpuinfo, std::string_view key);

// A DMI string of /sys/class/dmi/id ("product_name", "sys_vendor", ...) without its trailing
// newline; absent when unreadable or when `name` is not a plain file name of letters, digits
// and underscores.
std::optional<std::string> dmiString(std::string_view name);

// The value of an environment variable; absent when unset.
std::optional<std::string> getEnvironment(const std::string& name);

}  // namespace platform::sys

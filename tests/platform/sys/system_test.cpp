#include "platform/sys/system.hpp"

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <thread>
#include <vector>

namespace platform::sys {
namespace {

TEST(SystemTest, ProcessorAndMemoryFigures) {
  EXPECT_GE(activeProcessorCount(), 1);
  EXPECT_LE(activeProcessorCount(), processorCount());
  EXPECT_GE(physicalCoreCount(), 1);
  EXPECT_LE(physicalCoreCount(), processorCount());
  const auto resident = residentMemoryBytes();
  ASSERT_TRUE(resident.has_value());
  // Touching 64 MiB raises the resident size by roughly that much.
  std::vector<char> block(64u << 20, 1);
  const auto after = residentMemoryBytes();
  ASSERT_TRUE(after.has_value());
  EXPECT_GE(*after + (8u << 20), *resident + (64u << 20));
  EXPECT_GT(physicalMemoryBytes().value_or(0), *after);
  EXPECT_EQ(block[block.size() / 2], 1);
}

TEST(SystemTest, CpuInfoFieldsComeFromTheFirstProcessor) {
  const char* text =
      "\nprocessor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel name\t: Intel(R) Core(TM) i7\n"
      "flags\t\t: fpu vme\n\nprocessor\t: 1\nvendor_id\t: Other\nextra\t: only later\n";
  EXPECT_EQ(cpuInfoFieldIn(text, "vendor_id"), "GenuineIntel");
  EXPECT_EQ(cpuInfoFieldIn(text, "cpu family"), "6");
  EXPECT_EQ(cpuInfoFieldIn(text, "model name"), "Intel(R) Core(TM) i7");
  EXPECT_EQ(cpuInfoFieldIn(text, "flags"), "fpu vme");
  EXPECT_EQ(cpuInfoFieldIn(text, "extra"), std::nullopt);
  EXPECT_EQ(cpuInfoFieldIn(text, "missing"), std::nullopt);
  EXPECT_EQ(cpuInfoFieldIn("", "vendor_id"), std::nullopt);
  EXPECT_EQ(cpuInfoFieldIn("key: value with: colon", "key"), "value with: colon");
}

TEST(SystemTest, DmiNamesMustBePlainFileNames) {
  EXPECT_EQ(dmiString("../../../etc/passwd"), std::nullopt);
  EXPECT_EQ(dmiString(""), std::nullopt);
  EXPECT_EQ(dmiString("no_such_entry_here"), std::nullopt);
  if (auto name = dmiString("product_name")) {
    EXPECT_EQ(name->find('\n'), std::string::npos);
  }
}

TEST(SystemTest, Environment) {
  ::setenv("PLATFORM_SYS_TEST_VALUE", "x y", 1);
  EXPECT_EQ(getEnvironment("PLATFORM_SYS_TEST_VALUE"), "x y");
  ::unsetenv("PLATFORM_SYS_TEST_VALUE");
  EXPECT_EQ(getEnvironment("PLATFORM_SYS_TEST_VALUE"), std::nullopt);
}

}  // namespace
}  // namespace platform::sys

// Large blocks come from the heap once the thresholds are raised, also on a new thread, and a
// release hands free memory back without failing. Under a sanitizer the allocator is its own.
TEST(SystemTest, LargeBlocksStayInTheHeapOnNewThreads) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator ignores these settings";
#else
  const auto mappedBytes = [] { return mallinfo2().hblkhd; };
  constexpr std::size_t kBlock = 16u << 20;
  const auto allocateOnNewThread = [&] {
    std::size_t mappedWhileHeld = 0;
    std::thread([&] {
      std::vector<char> block(kBlock, 1);
      mappedWhileHeld = mappedBytes();
    }).join();
    return mappedWhileHeld;
  };
  const std::size_t before = mappedBytes();
  EXPECT_GE(allocateOnNewThread(), before + kBlock);  // the default: a mapping of its own
  ASSERT_TRUE(platform::sys::keepLargeAllocationsInHeap(256u << 20));
  const std::size_t settled = mappedBytes();
  EXPECT_LT(allocateOnNewThread(), settled + kBlock);
  platform::sys::releaseFreeHeapMemory();
#endif
}

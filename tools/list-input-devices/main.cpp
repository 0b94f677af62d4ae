// Prints the input-capable audio devices that live capture can open, one per line:
// id, input channels and name, and marks the default input device. For manual checks on a
// machine with audio hardware.
#include <cstdio>
#include <exception>

#include "platform/audio/capture_backend.hpp"

int main() {
  try {
    auto backend = platform::audio::defaultCaptureBackend();
    const auto devices = backend->inputDevices();
    const auto defaultDevice = backend->defaultInputDevice();
    if (devices.empty()) {
      std::printf("No input devices.\n");
      return 0;
    }
    std::printf("%-6s %-9s %s\n", "id", "channels", "name");
    for (const auto& d : devices) {
      const bool isDefault = defaultDevice && *defaultDevice == d.id;
      std::printf("%-6u %-9u %s%s\n", d.id, d.inputChannels, d.name.c_str(), isDefault ? "  (default)" : "");
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "list-input-devices: %s\n", e.what());
    return 1;
  }
}

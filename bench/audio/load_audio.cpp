// load_audio IN OUT.f32: loads IN through AudioProcessor::loadAudioAsFloatArray (all channels
// summed, 16 kHz mono) and writes the samples as raw little-endian float32, so that output and
// speed can be set beside `ffmpeg -i IN -ac 1 -ar 16000 -f f32le OUT.f32`.
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>

#include "speech/audio/audio_processor.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: load_audio IN OUT.f32\n";
    return 2;
  }
  try {
    const std::vector<float> samples = vostrane::AudioProcessor::loadAudioAsFloatArray(argv[1]);
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    // The machines we run on are little-endian, so the floats' bytes are written as they are.
    out.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * sizeof(float)));
    if (!out) {
      std::cerr << "load_audio: cannot write " << argv[2] << "\n";
      return 1;
    }
  } catch (const std::exception& e) {
    std::cerr << "load_audio: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

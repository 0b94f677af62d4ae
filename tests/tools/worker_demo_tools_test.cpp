// The worker's demo tools as processes: make-demo-audio's two recordings and fake_hub_server
// serving several repositories.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <stdexcept>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/fs/file_system.hpp"
#include "platform/net/curl_transport.hpp"
#include "platform/net/http.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-two-voice-audio/two_voice_synth.hpp"

namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int status = -1;
  std::string err;
};

ToolRun run(const std::string& arguments, const testsupport::TemporaryFolder& folder) {
  const fs::path errPath = folder / "stderr.txt";
  const std::string command = std::string(MAKE_DEMO_AUDIO_TOOL) + " " + arguments + " 2>'" + errPath.string() + "'";
  const int raw = std::system(command.c_str());
  ToolRun result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.err = platform::fs::readFile(errPath);
  return result;
}

// The 16-bit samples of a WAV file, scaled to [-1, 1); fails the test for another layout.
std::vector<float> wavSamples(const fs::path& path) {
  const std::string bytes = platform::fs::readFile(path);
  std::vector<float> samples;
  if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
    ADD_FAILURE() << path << " is not a WAV file";
    return samples;
  }
  std::uint16_t channels = 0, bits = 0;
  std::uint32_t rate = 0;
  std::size_t at = 12;
  while (at + 8 <= bytes.size()) {
    std::uint32_t size = 0;
    std::memcpy(&size, bytes.data() + at + 4, 4);
    const std::string id = bytes.substr(at, 4);
    if (id == "fmt ") {
      std::memcpy(&channels, bytes.data() + at + 10, 2);
      std::memcpy(&rate, bytes.data() + at + 12, 4);
      std::memcpy(&bits, bytes.data() + at + 22, 2);
    } else if (id == "data") {
      EXPECT_EQ(channels, 1);
      EXPECT_EQ(rate, 16000u);
      EXPECT_EQ(bits, 16);
      const std::size_t count = std::min<std::size_t>(size, bytes.size() - at - 8) / 2;
      samples.resize(count);
      for (std::size_t i = 0; i < count; ++i) {
        std::int16_t value = 0;
        std::memcpy(&value, bytes.data() + at + 8 + 2 * i, 2);
        samples[i] = static_cast<float>(value) / 32768.0f;
      }
      return samples;
    }
    at += 8 + size + (size & 1);
  }
  ADD_FAILURE() << path << " has no data chunk";
  return samples;
}

// Root mean square of the samples in [from, to) seconds, leaving out 0.1 s at each edge.
double rms(const std::vector<float>& samples, double from, double to) {
  const auto first = static_cast<std::size_t>((from + 0.1) * 16000);
  const auto last = std::min(samples.size(), static_cast<std::size_t>((to - 0.1) * 16000));
  double sum = 0;
  for (std::size_t i = first; i < last; ++i) sum += double(samples[i]) * samples[i];
  return last > first ? std::sqrt(sum / double(last - first)) : 0;
}

// The demo recordings render fixed turns with the synthesiser's voices.
TEST(MakeDemoAudio, RenderedTurnsAreTheSynthesisersVoices) {
  const twovoice::SynthesisOptions options{12, 3, 2};
  const twovoice::Recording planned = twovoice::synthesize(options);
  EXPECT_EQ(twovoice::renderTurns(options, planned.turns).samples, planned.samples);
  const twovoice::Recording cut = twovoice::renderTurns(options, {{1, 10'000, 15'000}});
  EXPECT_EQ(cut.samples.size(), 192'000u);
  for (const std::vector<twovoice::Turn>& bad : std::vector<std::vector<twovoice::Turn>>{
           {{2, 0, 1000}}, {{-1, 0, 1000}}, {{0, -5, 1000}}, {{0, 1000, 1000}}, {{1, 2000, 1000}}}) {
    EXPECT_THROW(twovoice::renderTurns(options, bad), twovoice::SynthesisError);
  }
}

TEST(MakeDemoAudio, VoicesAlternateInFiveSecondStretchesRepeatingEveryTwenty) {
  testsupport::TemporaryFolder folder("demo-audio");
  const ToolRun made = run("--mic '" + (folder / "mic.wav").string() + "' --system '" + (folder / "system.wav").string() +
                           "' --seconds 27.5",
                       folder);
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.err, "");
  const std::vector<float> mic = wavSamples(folder / "mic.wav");
  const std::vector<float> system = wavSamples(folder / "system.wav");
  ASSERT_EQ(mic.size(), 440'000u);
  ASSERT_EQ(system.size(), 440'000u);
  // Stretch k covers [5k, 5k + 5) s; the microphone speaks in stretches 0, 2, 4 and the
  // system output in 1, 3 and the part of 5 before the end.
  for (int k = 0; k < 6; ++k) {
    const double from = 5.0 * k;
    const double to = std::min(from + 5, 27.5);
    const bool micSpeaks = k % 2 == 0;
    const double micLevel = rms(mic, from, to);
    const double systemLevel = rms(system, from, to);
    const double speaking = micSpeaks ? micLevel : systemLevel;
    const double quiet = micSpeaks ? systemLevel : micLevel;
    EXPECT_GT(speaking, 0.05) << "stretch " << k;
    EXPECT_LT(quiet, 0.005) << "stretch " << k;
  }
  // Each file holds one voice: the microphone's is the lower one (more zero crossings in the
  // system output's speaking stretches than in the microphone's).
  const auto crossings = [](const std::vector<float>& samples, double from) {
    int count = 0;
    for (auto i = static_cast<std::size_t>((from + 0.5) * 16000); i < static_cast<std::size_t>((from + 4.5) * 16000); ++i) {
      count += (samples[i - 1] < 0) != (samples[i] < 0);
    }
    return count;
  };
  EXPECT_LT(crossings(mic, 0), crossings(system, 5));
}

TEST(MakeDemoAudio, DefaultLengthAndBadArguments) {
  testsupport::TemporaryFolder folder("demo-audio");
  const std::string mic = (folder / "m.wav").string();
  const std::string system = (folder / "s.wav").string();
  ASSERT_EQ(run("--system '" + system + "' --mic '" + mic + "'", folder).status, 0);
  EXPECT_EQ(wavSamples(mic).size(), 320'000u);
  fs::remove(mic);
  fs::remove(system);

  for (const std::string& arguments : std::vector<std::string>{"", "--mic '" + mic + "'", "--mic '" + mic + "' --system '" + system + "' --seconds 0",
        "--mic '" + mic + "' --system '" + system + "' --seconds abc",
        "--mic '" + mic + "' --system '" + system + "' --seconds nan",
        "--mic '" + mic + "' --system '" + system + "' --seconds 90000",
        "--mic '" + mic + "' --system '" + system + "' --seconds",
        "--mic '" + mic + "' --system '" + system + "' --voices 2", "--mic '' --system '" + system + "'"}) {
    const ToolRun bad = run(arguments, folder);
    EXPECT_EQ(bad.status, 1) << arguments;
    EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << arguments << ": " << bad.err;
    EXPECT_EQ(bad.err.rfind("make-demo-audio: ", 0), 0u) << bad.err;
    EXPECT_FALSE(fs::exists(mic) || fs::exists(system)) << arguments;
  }
  const ToolRun unwritable = run("--mic '" + (folder / "no/such/m.wav").string() + "' --system '" + system + "'", folder);
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_EQ(std::count(unwritable.err.begin(), unwritable.err.end(), '\n'), 1) << unwritable.err;
}

// A fake_hub_server process of ours, stopped with SIGTERM by its process id.
class HubServer {
 public:
  explicit HubServer(const std::vector<std::string>& arguments) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::close(fds[0]);
      ::close(fds[1]);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(FAKE_HUB_SERVER_TOOL));
      for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(FAKE_HUB_SERVER_TOOL, argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = ::fdopen(fds[0], "r");
  }
  ~HubServer() {
    if (pid_ > 0) stop();
    if (out_ != nullptr) std::fclose(out_);
  }
  // The next line of its standard output ("" at the end).
  std::string line() {
    char buffer[4096];
    if (std::fgets(buffer, sizeof buffer, out_) == nullptr) return "";
    return buffer;
  }
  int stop() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::FILE* out_ = nullptr;
};

TEST(FakeHubServer, ServesSeveralRepositories) {
  testsupport::TemporaryFolder folder("hub-server");
  fs::create_directories(folder / "speech");
  fs::create_directories(folder / "speaker");
  std::ofstream(folder / "speech/config.json") << "{}";
  std::ofstream(folder / "speaker/plda.bin") << "plda";
  std::ofstream(folder / "single.txt") << "single";
  HubServer server({"--port", "0", "--root", (folder / "speaker").string(), "--repo", "owner/old-style", "--repo",
                    "owner/speech=" + (folder / "speech").string(), "--repo",
                    "owner/speaker=" + (folder / "speaker").string()});
  std::string endpoint;
  for (const char* id : {"owner/old-style", "owner/speech", "owner/speaker"}) {
    const std::string line = server.line();
    EXPECT_NE(line.find(std::string(" as ") + id + " at http://127.0.0.1:"), std::string::npos) << line;
    endpoint = line.substr(line.find(" at ") + 4);
    endpoint.erase(endpoint.find_last_not_of("\n") + 1);
  }
  platform::net::CurlTransport transport;
  const auto listing = [&](const std::string& id) {
    using platform::net::Method;
    using platform::net::Request;
    const auto result = platform::net::fetch(transport, Request(Method::get, endpoint + "/api/models/" + id + "/revision/main"));
    return std::to_string(result.response.statusCode) + " " + result.body;
  };
  EXPECT_NE(listing("owner/speech").find("config.json"), std::string::npos);
  EXPECT_EQ(listing("owner/speech").find("plda.bin"), std::string::npos);
  EXPECT_NE(listing("owner/speaker").find("plda.bin"), std::string::npos);
  EXPECT_NE(listing("owner/old-style").find("plda.bin"), std::string::npos);
  EXPECT_EQ(listing("owner/other").rfind("404", 0), 0u);
  EXPECT_EQ(server.stop(), 0);
}

TEST(FakeHubServer, RefusesBadArguments) {
  testsupport::TemporaryFolder folder("hub-server");
  const std::string dir = folder.path().string();
  for (const std::string& arguments : std::vector<std::string>{"", "--repo a/b", "--repo =x", "--repo a/b=", "--repo a/b=" + dir + " --repo a/b=" + dir,
        "--root " + dir + " --port 70000", "--root " + dir + " --port", "--bogus 1"}) {
    const std::string command = std::string(FAKE_HUB_SERVER_TOOL) + " " + arguments + " >/dev/null 2>&1";
    const int raw = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 2) << arguments;
  }
}

}  // namespace

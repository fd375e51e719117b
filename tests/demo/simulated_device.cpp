// A simulated device for the demo (scripts/demo.sh) and the tools tests: one
// test device on a loopback address with the account "service", answering
// every request, and printing in words what each recording set-up request
// told it.
//
//   zelkit_simulated_device NAME ADDRESS[:PORT] PASSWORD [--refuse COMMAND:CODE]... [--count N]
//
// It runs until SIGINT or SIGTERM, or, with --count, until N set-up requests
// were received and the clients have hung up.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "configuration_request.h"
#include "support/test_device.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kUser = "service";
constexpr const char* kUsage =
    "usage: zelkit_simulated_device NAME ADDRESS[:PORT] PASSWORD [--refuse COMMAND:CODE]... [--count N]\n"
    "  Answers every request as the device NAME on ADDRESS (the port is chosen at run time\n"
    "  when none is given) for the user service with PASSWORD, and prints what it was told.\n"
    "  --refuse 0x0A360C31:0x41  answers that command with that error code\n"
    "  --count N                 ends once N set-up requests came and the clients hung up\n";
constexpr auto kPollInterval = 100ms;
constexpr auto kHangUpWait = 10s;

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

struct Options {
  std::string name;
  std::string address;
  uint16_t port = 0;
  std::string password;
  std::vector<std::pair<uint32_t, uint16_t>> refusals;  // command, error code
  std::optional<size_t> count;
};

// A whole number (decimal or 0x hex) up to max.
std::optional<uint32_t> number(const std::string& text, uint32_t max) {
  if (text.empty() || text[0] == '-') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || errno != 0 || value > max) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<Options> parseOptions(int argc, char** argv) {
  if (argc < 4) return std::nullopt;
  Options options;
  options.name = argv[1];
  const std::string endpoint = argv[2];
  options.address = endpoint.substr(0, endpoint.find(':'));
  if (const size_t colon = endpoint.find(':'); colon != std::string::npos) {
    const auto port = number(endpoint.substr(colon + 1), 65535);
    if (!port) return std::nullopt;
    options.port = static_cast<uint16_t>(*port);
  }
  options.password = argv[3];
  for (int i = 4; i < argc; i += 2) {
    if (i + 1 == argc) return std::nullopt;
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--refuse") {
      const size_t colon = value.find(':');
      if (colon == std::string::npos) return std::nullopt;
      const auto command = number(value.substr(0, colon), 0xFFFFFFFF);
      const auto code = number(value.substr(colon + 1), 0xFFFF);
      if (!command || !code || *code == 0) return std::nullopt;
      options.refusals.emplace_back(static_cast<uint32_t>(*command), static_cast<uint16_t>(*code));
    } else if (option == "--count") {
      const auto count = number(value, 1000000);
      if (!count) return std::nullopt;
      options.count = *count;
    } else {
      return std::nullopt;
    }
  }
  return options;
}

class Reporter {
 public:
  Reporter(const Options& options, zeltest::TestDevice& device) : options_(options), device_(device) {}

  // Prints the set-up requests received since the last call.
  void reportNew() {
    const std::vector<zeltest::RecordedFrame> frames = device_.frames();
    for (; seen_ < frames.size(); ++seen_) {
      const auto text = zeltest::describeConfigurationRequest(frames[seen_]);
      if (!text) continue;
      ++reported_;
      std::printf("%s %s: %s%s\n", options_.name.c_str(), options_.address.c_str(), text->c_str(),
                  refusal(frames[seen_].header.tag).c_str());
    }
  }

  size_t seen() const { return seen_; }
  size_t reported() const { return reported_; }

 private:
  std::string refusal(uint32_t tag) const {
    for (const auto& [command, code] : options_.refusals) {
      if (command != tag) continue;
      char text[48];
      std::snprintf(text, sizeof text, " (refused with error 0x%02x)", code);
      return text;
    }
    return "";
  }

  const Options& options_;
  zeltest::TestDevice& device_;
  size_t seen_ = 0;
  size_t reported_ = 0;
};

// Bounded: a client that never hangs up does not keep the device alive.
void waitForHangUps(zeltest::TestDevice& device) {
  const auto deadline = zeltest::Clock::now() + kHangUpWait;
  for (int connection = 0; connection < device.connectionCount(); ++connection) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - zeltest::Clock::now());
    if (left.count() <= 0 || !device.waitForClosed(connection, left)) return;
  }
}

int serve(const Options& options) {
  zeltest::TestDevice device(options.address, options.port);
  device.addAccount(kUser, options.password);
  for (const auto& [command, code] : options.refusals) device.setRule(command, zeltest::Rule::error(code));
  device.start();
  std::printf("%s %s: listening on %s, user %s\n", options.name.c_str(), options.address.c_str(),
              device.endpoint().c_str(), kUser);

  Reporter reporter(options, device);
  const auto countReached = [&] { return options.count && reporter.reported() >= *options.count; };
  while (stopRequested == 0 && !countReached()) {
    device.waitForFrameCount(reporter.seen() + 1, kPollInterval);
    reporter.reportNew();
  }
  if (countReached()) waitForHangUps(device);
  // Requests that came in just before the signal.
  reporter.reportNew();
  device.stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parseOptions(argc, argv);
  if (!options) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // Each line as it happens, also into a file or pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::signal(SIGINT, requestStop);
  std::signal(SIGTERM, requestStop);
  try {
    return serve(*options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s %s: %s\n", options->name.c_str(), options->address.c_str(), error.what());
    return 1;
  }
}

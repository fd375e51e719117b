// A device built on the library's server: it takes logins for the user
// "service", answers the recording set-up requests of CamStoreConfig on its
// Zel, HTTP and HTTPS ports, and prints what each request told it.
//
//   zelkit_recording_device encoder 127.0.0.2 secret --zel 5001 --http 5002
//
// It runs until SIGINT or SIGTERM, or, with --count, until that many set-up
// requests came and the clients have hung up.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "options.h"
#include "recording_requests.h"
#include "zelkit/exceptions.h"
#include "zelkit/server.h"

namespace {

constexpr const char* kUser = "service";
constexpr int kServiceLevel = 2;
constexpr auto kHangUpWait = std::chrono::seconds(10);

// What the handlers share. Made once and never destroyed: the library's
// thread may still run a handler while the program exits.
struct Device {
  Options options;
  std::FILE* record = nullptr;
  std::mutex printing;
  std::atomic<size_t> requests{0};
  std::atomic<int> sessions{0};

  void say(const std::string& text) {
    std::lock_guard<std::mutex> guard(printing);
    std::printf("%s %s: %s\n", options.name.c_str(), options.address.c_str(), text.c_str());
  }

  uint16_t refusalOf(uint32_t command) const {
    for (const auto& [refused, code] : options.refusals)
      if (refused == command) return code;
    return 0;
  }
};
Device* device = nullptr;

class ServiceSession : public zelkit::ZelSession {
 public:
  ServiceSession() { ++device->sessions; }
  ~ServiceSession() override { --device->sessions; }

  // The password arrives as it is, or as the digest of a challenge login.
  int onLogin(const zelkit::ZelHeader&, const char* user, const char* password) override {
    if (std::strcmp(user, kUser) == 0 && checkAuthentication(user, device->options.password.c_str(), password)) {
      device->say(std::string("login of ") + user + " accepted");
      return kServiceLevel;
    }
    device->say(std::string("login of ") + user + " refused");
    return 0;
  }
};

class RecordingDevice : public zelkit::ZelServer {
 public:
  zelkit::ZelSession* createSession() override { return new ServiceSession(); }
};

void onRecordingRequest(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header,
                        zelkit::ZelInputStream& payload) {
  // Only a logged-in client may set the device up.
  if (session->getPrivilegeLevel() == 0) zelkit::Exception::doThrow(zelkit::InvalidAuthorizationLevel);
  std::vector<uint8_t> bytes(static_cast<size_t>(payload.available()));
  if (!bytes.empty()) payload.read(bytes.data(), static_cast<int>(bytes.size()));

  const uint16_t refusal = device->refusalOf(header.tag);
  std::string line = describeRecordingRequest(header.tag, header.num, bytes);
  if (refusal != 0) {
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, " (refused with error 0x%02x)", refusal);
    line += suffix;
  }
  device->say(line);
  if (device->record != nullptr) {
    std::fprintf(device->record, "%08x %u %s\n", header.tag, header.num, toHex(bytes).c_str());
    std::fflush(device->record);
  }
  ++device->requests;

  zelkit::ZelOutputStream nothing;
  if (refusal != 0) {
    header.mode = 3;  // an error reply carrying the header's error code
    header.errorCode = refusal;
  }
  session->respond(header, nothing);
}

// Requests on the HTTP port other than the tunnel: a one-line page.
void onHttpRequest(zelkit::ZelSessionRef const& session, zelkit::ZelHeader&, zelkit::ZelInputStream& request) {
  std::string head(static_cast<size_t>(request.available()), '\0');
  request.read(head.data(), static_cast<int>(head.size()));
  device->say("http request: " + head.substr(0, head.find("\r\n")));
  const std::string page = "device " + device->options.name + "\n";
  const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                             std::to_string(page.size()) + "\r\n\r\n" + page;
  session->send(answer.data(), static_cast<int>(answer.size()), 0);
}

std::string listening(const Options& options) {
  std::string ports;
  const auto add = [&](const char* kind, uint16_t port) {
    if (port == 0) return;
    ports += (ports.empty() ? "" : ", ") + std::string(kind) + " port " + std::to_string(port);
  };
  add("zel", options.zelPort);
  add("http", options.httpPort);
  add("https", options.httpsPort);
  return "listening on " + ports + ", user " + kUser;
}

// Waits for SIGINT or SIGTERM, or with --count until the requests came and
// the clients hung up (at most kHangUpWait after the last request).
void waitUntilDone(const sigset_t& stopSignals) {
  const timespec pollInterval{0, 100 * 1000 * 1000};
  std::chrono::steady_clock::time_point countReachedAt{};
  for (;;) {
    if (sigtimedwait(&stopSignals, nullptr, &pollInterval) > 0) return;
    if (!device->options.count || device->requests < *device->options.count) continue;
    const auto now = std::chrono::steady_clock::now();
    if (countReachedAt == std::chrono::steady_clock::time_point{}) countReachedAt = now;
    if (device->sessions == 0 || now - countReachedAt > kHangUpWait) return;
  }
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
  // The library's threads start with these signals blocked; this thread
  // takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  device = new Device();
  device->options = *options;
  if (!options->recordFile.empty()) {
    device->record = std::fopen(options->recordFile.c_str(), "a");
    if (device->record == nullptr) {
      std::perror(options->recordFile.c_str());
      return 1;
    }
  }

  auto* server = new RecordingDevice();
  for (const uint32_t command : kRecordingCommands) server->registerCallback(command, onRecordingRequest);
  if (options->httpPort != 0) server->bindHttpPort(options->httpPort, false, onHttpRequest);
  if (options->httpsPort != 0) server->bindHttpPort(options->httpsPort, true, onHttpRequest);
  server->start(options->zelPort);
  device->say(listening(*options));

  waitUntilDone(stopSignals);
  return 0;
}

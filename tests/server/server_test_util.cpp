#include "server_test_util.h"

#include <malloc.h>
#include <unistd.h>

#include <fstream>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace servertest {

long residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

long heapBytesInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return static_cast<long>(__sanitizer_get_current_allocated_bytes());
#else
  const struct mallinfo2 info = ::mallinfo2();
  return static_cast<long>(info.uordblks + info.hblkhd);
#endif
}

PeakSampler::PeakSampler(std::function<long()> measure)
    : measure_(std::move(measure)), peak_(measure_()), sampler_([this] {
        while (!stop_) {
          peak_ = std::max(peak_.load(), measure_());
          std::this_thread::sleep_for(2ms);
        }
      }) {}

long PeakSampler::finish() {
  stop_ = true;
  if (sampler_.joinable()) sampler_.join();
  return peak_;
}

LoginScript& loginScript() {
  static LoginScript* const script = new LoginScript();
  return *script;
}

int TestSession::onLogin(const zelkit::ZelHeader&, const char* user, const char* password) {
  LoginScript& script = loginScript();
  std::lock_guard<std::mutex> guard(script.mutex);
  script.calls.push_back({user, password != nullptr ? std::optional<std::string>(password) : std::nullopt});
  if (script.password) return checkAuthentication(user, script.password->c_str(), password) ? script.result : 0;
  return script.result;
}

Bytes registerPayload(uint32_t credentialWord, uint8_t splitMode, uint8_t textLength, const std::string& text,
                      const std::vector<uint16_t>& ids) {
  Bytes payload;
  zeltest::appendU32(payload, credentialWord);
  payload.push_back(splitMode);
  payload.push_back(textLength);
  zeltest::appendU16(payload, static_cast<uint16_t>(ids.size()));
  for (uint16_t id : ids) zeltest::appendU16(payload, id);
  payload.insert(payload.end(), text.begin(), text.end());
  return payload;
}

zelkit::ZelSessionRef sessionOf(zelkit::ZelServer& server, const zeltest::RawClient& client) {
  const std::string suffix = ":" + std::to_string(client.localPort());
  int clientId = -1;
  waitUntil([&] {
    zelkit::detail::GlobalLock lock;
    for (auto* connection = zelkit::detail::core().connectionList().first(); connection != nullptr;
         connection = connection->next) {
      const std::string url = connection->url;
      if (connection->session != nullptr && url.ends_with(suffix)) clientId = connection->clientId;
    }
    return clientId >= 0;
  });
  return clientId < 0 ? zelkit::ZelSessionRef() : server.getSession(static_cast<unsigned short>(clientId));
}

bool rawLogin(zeltest::RawClient& client, int level) {
  {
    LoginScript& script = loginScript();
    std::lock_guard<std::mutex> guard(script.mutex);
    script.result = level;
  }
  const std::string text = "+u:pw+";
  const auto reply = client.call(kCmdRegister, registerPayload(0x01000000, 0, static_cast<uint8_t>(text.size()), text));
  return reply && reply->payload.size() == 4 && reply->payload[1] == level;
}

}  // namespace servertest

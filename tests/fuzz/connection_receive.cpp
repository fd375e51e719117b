// A connection's receive path, driven through its socket: TPKT frames cut
// across receives (a frame's rest read straight into its packet), the value
// table length checked against the frame, fragments joined, replies matched
// to the pending requests through their transaction ids, messages handed to
// a callback, and each delivered payload read with its host ids looked up
// in the value table.
// Input: one byte that cuts the rest into writes (0: one write, else pieces
// of that many bytes), then the bytes a device sends. The connection has
// REQUEST_COUNT requests of REQUEST_TAG outstanding (ids 0, 1, ...).
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "platform/completion_port.h"
#include "platform/socket.h"
#include "zelkit/exceptions.h"
#include "zelkit/streams.h"

namespace {

using namespace zelkit::detail;
namespace platform = zelkit::platform;

constexpr uint32_t REQUEST_TAG = 0x00010001;
constexpr int REQUEST_COUNT = 3;
constexpr size_t INPUT_LIMIT = 256 * 1024;

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// Reads what a callback gets as far as it goes; host ids of the value table
// are looked up.
void readDelivered(void*, zelkit::ZelHeader&, zelkit::ZelInputStream& stream) {
  char host[64];
  try {
    while (stream.available() >= 4) {
      const int before = stream.available();
      if (stream.readHostId(host, sizeof host) != nullptr) require(std::memchr(host, 0, sizeof host) != nullptr);
      require(stream.available() < before);
    }
    zelkit::ZelOutputStream copy(stream);
    require(copy.size() == stream.available());
  } catch (zelkit::Exception*) {
  }
}

std::atomic<bool> workerParked{false};

void parkInCallback(void*, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  workerParked.store(true);
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// The engine's worker is kept in a callback for good, so that this thread
// alone takes completions from the port (requests would otherwise start
// the worker, which would take them too).
void parkWorker() {
  core().ensureInitialized();
  core().setTimer(1, 0, parkInCallback, nullptr, nullptr);
  core().startWorker(false);
  while (!workerParked.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

struct Loopback {
  int listener = -1;
  sockaddr_in address = {};
};

const Loopback& loopback() {
  static const Loopback made = [] {
    Loopback result;
    result.listener = ::socket(AF_INET, SOCK_STREAM, 0);
    result.address.sin_family = AF_INET;
    result.address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof result.address;
    require(::bind(result.listener, reinterpret_cast<sockaddr*>(&result.address), length) == 0);
    require(::listen(result.listener, 4) == 0);
    require(::getsockname(result.listener, reinterpret_cast<sockaddr*>(&result.address), &length) == 0);
    parkWorker();
    return result;
  }();
  return made;
}

// Handles what the port has completed, as the worker would.
void pump(uint32_t waitMs) {
  for (;;) {
    platform::Completion completion;
    platform::waitForCompletion(core().port(), waitMs, completion);
    if (completion.operation == nullptr) return;
    core().handleCompletion(completion);
    waitMs = 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > INPUT_LIMIT) return 0;
  const Loopback& net = loopback();
  const size_t piece = data[0] == 0 ? size - 1 : data[0];

  const platform::Socket socket = platform::openSocket(AF_INET, SOCK_STREAM, 0);
  require(socket > 0);
  require(platform::connectSocket(socket, reinterpret_cast<const sockaddr*>(&net.address), sizeof net.address) == 0);
  const int device = ::accept(net.listener, nullptr, nullptr);
  require(device >= 0);

  auto* connection = new Connection("127.0.0.1:1", core().nextConnectionId(), socket, false, nullptr);
  {
    GlobalLock lock;
    auto* entry = new CallbackEntry();
    entry->set(readDelivered, nullptr, nullptr, -1);
    connection->callbacks.pushFront(entry);
    for (int i = 0; i < REQUEST_COUNT; ++i)
      core().sendRequest(0, connection, zelkit::ZelHeader(REQUEST_TAG, 0), Request, emptyPayload(), nullptr,
                         readDelivered, nullptr);
    connection->startHeaderReceive();
  }
  for (size_t offset = 1; offset < size; offset += piece) {
    const size_t length = size - offset < piece ? size - offset : piece;
    if (::send(device, data + offset, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) break;
    pump(1);
  }
  pump(1);

  connection->close(LocalEvent::ConnectionClosed, "Fuzz input done", 0);
  pump(0);
  // Its closing notices wait among the timers, which nothing runs here.
  core().discardDeliveriesOf(connection, nullptr);
  delete connection;
  ::close(device);
  return 0;
}

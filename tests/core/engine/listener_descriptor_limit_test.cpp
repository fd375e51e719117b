// A server whose process runs out of descriptors: its listener must neither
// spin on the failing accept nor stop accepting for good.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/engine_test_util.h"
#include "support/raw_client.h"
#include "zelkit/server.h"
#include "zelkit/system.h"

namespace {

using namespace std::chrono_literals;
using enginetest::waitUntil;
using zeltest::RawClient;

constexpr rlim_t kDescriptorLimit = 128;
constexpr int kHeldConnections = 300;
constexpr uint32_t kEcho = 0x0A010C31;

void echo(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream& payload) {
  zelkit::ZelOutputStream reply;
  while (payload.available() > 0) reply.writeOctet(payload.readOctet());
  session->respond(header, reply);
}

// The server runs in a child process with a lowered descriptor limit, so
// that the test's own sockets do not count against it. It runs until the
// test closes the pipe.
class LimitedServerProcess {
 public:
  LimitedServerProcess(uint16_t port, const std::string& logDirectory) {
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(toChild[1]);
      ::close(fromChild[0]);
      serve(port, logDirectory, toChild[0], fromChild[1]);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    toChild_ = toChild[1];
    fromChild_ = fromChild[0];
  }
  ~LimitedServerProcess() {
    if (toChild_ >= 0) ::close(toChild_);
    if (fromChild_ >= 0) ::close(fromChild_);
    if (pid_ <= 0) return;
    for (int waited = 0; waited < 100; ++waited) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(50ms);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  LimitedServerProcess(const LimitedServerProcess&) = delete;
  LimitedServerProcess& operator=(const LimitedServerProcess&) = delete;

  bool ready() {
    if (pid_ <= 0) return false;
    char word = 0;
    return ::read(fromChild_, &word, 1) == 1 && word == 'r';
  }

  // The descriptors the child holds.
  int openDescriptors() const {
    DIR* directory = ::opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
    if (directory == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(directory))
      if (entry->d_name[0] != '.') ++count;
    ::closedir(directory);
    return count;
  }

  // The CPU time the child used so far, in seconds (user and system, all
  // its threads).
  double cpuSeconds() const {
    std::ifstream file("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The fields after the command name, which is in parentheses and may hold blanks.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
      if (number == 14) user = std::stoull(field);
      if (number == 15) system = std::stoull(field);
    }
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

 private:
  [[noreturn]] static void serve(uint16_t port, const std::string& logDirectory, int fromParent, int toParent) {
    const rlimit limit{kDescriptorLimit, kDescriptorLimit};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(2);
    // The system log only: a log per connection would take descriptors too.
    zelkit::System::setLoggingFilter("^no connection$");
    zelkit::System::setLoggingDirectory(logDirectory.c_str());
    auto* server = new zelkit::ZelServer();  // lives until the process ends
    server->registerCallback(kEcho, echo);
    server->start(port);
    const char ready = 'r';
    if (::write(toParent, &ready, 1) != 1) ::_exit(3);
    char ignored;
    while (::read(fromParent, &ignored, 1) > 0) {
    }
    ::_exit(0);
  }

  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
};

// A connection the listener may not take yet: connected in the kernel's
// backlog, then held.
struct HeldConnection {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  explicit HeldConnection(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~HeldConnection() { ::close(fd); }
  HeldConnection(const HeldConnection&) = delete;
  HeldConnection& operator=(const HeldConnection&) = delete;
};

// The lines of the child's system log that hold the text.
int logLinesWith(const std::string& directory, const std::string& text) {
  std::ifstream file(directory + "/127.1.1.1.log");
  int count = 0;
  for (std::string line; std::getline(file, line);)
    if (line.find(text) != std::string::npos) ++count;
  return count;
}

bool echoes(RawClient& client, uint8_t marker) {
  const auto reply = client.call(kEcho, {marker});
  return reply && reply->payload == zeltest::Bytes{marker};
}

TEST(ListenerDescriptorLimit, PausesWhileOutOfDescriptorsAndAcceptsOnceSomeAreFree) {
  const uint16_t port = zeltest::freeLoopbackPort();
  char directory[] = "/tmp/zelkit-descriptor-limit-XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  LimitedServerProcess child(port, directory);
  ASSERT_TRUE(child.ready());
  RawClient early(port);
  ASSERT_TRUE(early.connected());
  ASSERT_TRUE(echoes(early, 1));

  std::vector<std::unique_ptr<HeldConnection>> held;
  for (int i = 0; i < kHeldConnections; ++i) held.push_back(std::make_unique<HeldConnection>(port));
  ASSERT_TRUE(waitUntil([&] { return child.openDescriptors() >= static_cast<int>(kDescriptorLimit); }, 10s))
      << "the child holds " << child.openDescriptors() << " descriptors";

  // Saturated: the accept fails for as long as the connections are held.
  const double cpuBefore = child.cpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1s);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double share = (child.cpuSeconds() - cpuBefore) / elapsed;
  EXPECT_LT(share, 0.2) << "the server used " << share * 100 << "% of a core while out of descriptors";

  EXPECT_TRUE(echoes(early, 2)) << "a session open before the limit was reached is no longer served";

  held.clear();
  const auto freed = std::chrono::steady_clock::now();
  RawClient late(port);
  ASSERT_TRUE(late.connected());
  EXPECT_TRUE(echoes(late, 3)) << "no connection is accepted once descriptors are free again";
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - freed);
  EXPECT_LT(waited, 2s);
  EXPECT_TRUE(echoes(early, 4));

  // One line per episode (the closes may run into the limit again for a
  // moment), not one per failed accept.
  const int episodes = logLinesWith(directory, "out of descriptors or memory");
  EXPECT_GE(episodes, 1);
  EXPECT_LE(episodes, 5);
  EXPECT_EQ(logLinesWith(directory, "accepts again"), episodes);
  EXPECT_EQ(logLinesWith(directory, "Restart listener"), 0);
  std::filesystem::remove_all(directory);
}

}  // namespace

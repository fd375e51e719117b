// The scanner against the responder over a real link: two network
// namespaces of the test's own joined by a veth pair, the responder in a
// child process in one, the scanner in this process in the other.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/scanner/scan_test_util.h"
#include "server/discovery/discovery_test_util.h"
#include "support/external_tool.h"
#include "zelkit/scanner.h"
#include "zelkit/server.h"

namespace {

using namespace discoverytest;
using zelkit::NetworkScanner;

constexpr char kResponderAddress[] = "10.91.0.1";
constexpr uint8_t kResponderMac[6] = {0x02, 0x5a, 0x00, 0x00, 0x00, 0x01};

// "" when the command succeeds, else the command and what it said.
std::string run(const std::string& command) {
  FILE* output = ::popen((command + " 2>&1").c_str(), "r");
  if (output == nullptr) return "cannot run \"" + command + "\"";
  std::string said;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, output) != nullptr) said += buffer;
  if (::pclose(output) == 0) return "";
  return "\"" + command + "\" failed (package iproute2; the tests need root): " + said;
}

std::string enterNamespace(const std::string& name) {
  const int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "cannot open namespace " + name + ": " + std::strerror(errno);
  const int result = ::setns(fd, CLONE_NEWNET);
  const int error = errno;
  ::close(fd);
  return result == 0 ? "" : "cannot enter namespace " + name + ": " + std::strerror(error);
}

// The responder's namespace (10.91.0.1/24) and the scanner's (10.91.0.2/24),
// each with a default route on its end of the veth, which covers the
// broadcast address and the multicast range. Removed with the object,
// whatever the test's outcome.
class TwoNamespaces {
 public:
  TwoNamespaces()
      : responder("zkdisc" + std::to_string(::getpid()) + "r"), scanner("zkdisc" + std::to_string(::getpid()) + "s") {}
  ~TwoNamespaces() {
    std::system(("ip netns del " + responder + " 2>/dev/null").c_str());
    std::system(("ip netns del " + scanner + " 2>/dev/null").c_str());
  }
  TwoNamespaces(const TwoNamespaces&) = delete;
  TwoNamespaces& operator=(const TwoNamespaces&) = delete;

  std::string create() const {
    const std::string r = "ip -n " + responder + " ";
    const std::string s = "ip -n " + scanner + " ";
    const std::string steps[] = {
        "ip netns add " + responder,
        "ip netns add " + scanner,
        r + "link add zkr address 02:5a:00:00:00:01 type veth peer name zks netns " + scanner,
        r + "addr add 10.91.0.1/24 dev zkr",
        s + "addr add 10.91.0.2/24 dev zks",
        r + "link set lo up",
        s + "link set lo up",
        r + "link set zkr up",
        s + "link set zks up",
        r + "route add default dev zkr",
        s + "route add default dev zks",
    };
    for (const std::string& step : steps)
      if (std::string failed = run(step); !failed.empty()) return failed;
    return "";
  }

  // Puts the scanner's end on another subnet than the responder's.
  std::string moveScannerOffSubnet() const {
    const std::string s = "ip -n " + scanner + " ";
    for (const std::string& step :
         {s + "addr flush dev zks", s + "addr add 10.92.0.2/24 dev zks", s + "route replace default dev zks"})
      if (std::string failed = run(step); !failed.empty()) return failed;
    return "";
  }

  const std::string responder;
  const std::string scanner;
};

void ignoreRequest(zelkit::ZelSessionRef const&, zelkit::ZelHeader&, zelkit::ZelInputStream&) {}

// Until its answer to a request of its own has come: the responder's loop
// runs, with its sockets bound and joined.
bool responderAnswers() {
  Requester requester;
  for (int attempt = 0; attempt < 10; ++attempt) {
    requester.send(scanRequest(1, 0, 0, requester.port()), kResponderAddress, kBroadcastPort);
    if (requester.collect(2, 500ms).size() == 2) return true;
  }
  return false;
}

// The child: enters the namespace, runs a responder, says "ready" (or what
// failed) and runs until the parent closes its end of the pipe.
[[noreturn]] void runResponder(const std::string& name, int fromParent, int toParent) {
  auto say = [toParent](const std::string& text) {
    const std::string line = text + "\n";
    [[maybe_unused]] const ssize_t written = ::write(toParent, line.data(), line.size());
  };
  if (std::string failed = enterNamespace(name); !failed.empty()) {
    say(failed);
    ::_exit(1);
  }
  auto* server = new zelkit::ZelServer();
  // The XML then names the port the binary reply's record has: the scanner
  // files both under one device.
  server->bindHttpPort(80, false, ignoreRequest);
  server->initDiscoveryPort(0, L"Lab camera & co", 0x21000000, 7);
  say(responderAnswers() ? "ready" : "the responder does not answer");
  pollfd parent{fromParent, POLLIN, 0};
  ::poll(&parent, 1, 120000);
  ::_exit(0);
}

class ResponderProcess {
 public:
  explicit ResponderProcess(const std::string& name) {
    int down[2];
    int up[2];
    if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(down[1]);
      ::close(up[0]);
      runResponder(name, down[0], up[1]);
    }
    ::close(down[0]);
    ::close(up[1]);
    toChild_ = down[1];
    fromChild_ = up[0];
  }
  ~ResponderProcess() {
    if (toChild_ >= 0) ::close(toChild_);
    if (fromChild_ >= 0) ::close(fromChild_);
    if (pid_ <= 0) return;
    for (int waited = 0; waited < 100; ++waited) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      ::usleep(50000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ResponderProcess(const ResponderProcess&) = delete;
  ResponderProcess& operator=(const ResponderProcess&) = delete;

  // The child's first line: "ready", or what failed.
  std::string firstLine() {
    if (pid_ <= 0) return "cannot start the responder's process";
    std::string line;
    pollfd child{fromChild_, POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&child, 1, 15000) == 1) {
      char buffer[256];
      const ssize_t got = ::read(fromChild_, buffer, sizeof buffer);
      if (got <= 0) break;
      line.append(buffer, static_cast<size_t>(got));
    }
    if (line.empty()) return "no word from the responder's process";
    return line.substr(0, line.find('\n'));
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
};

// What the last scan found at the responder's address.
void expectResponderFound() {
  const unsigned long* list = NetworkScanner::getDeviceList();
  const unsigned long address = ::inet_addr(kResponderAddress);
  ASSERT_EQ(list[0], address);
  EXPECT_EQ(list[1], 0u);

  zelkit::types::AutoDetectResponseStruct details{};
  ASSERT_EQ(NetworkScanner::getDeviceDetails(address, 0, &details), 0);
  EXPECT_EQ(Bytes(details.mac, details.mac + 6), Bytes(kResponderMac, kResponderMac + 6));
  EXPECT_EQ(details.replyKind, 3);
  EXPECT_EQ(details.deviceType, 0x21);
  EXPECT_EQ(details.subnetMask, ::inet_addr("255.255.255.0"));

  char xml[1500];
  ASSERT_GT(NetworkScanner::getXmlDeviceDetails(address, 0, xml, sizeof xml), 1);
  EXPECT_TRUE(wellFormed(xml)) << xml;
  EXPECT_EQ(xmlElement(xml, "friendlyName"), "Lab camera & co");
  EXPECT_EQ(xmlElement(xml, "unitIPAddress"), kResponderAddress);
  EXPECT_EQ(xmlElement(xml, "physAddress"), "02-5a-00-00-00-01");
}

TEST(DiscoveryAcrossNamespaces, ScannerFindsTheResponderOnAndOffItsSubnet) {
  ZELKIT_REQUIRE_TOOL("xmllint");
  TwoNamespaces namespaces;
  ASSERT_EQ(namespaces.create(), "");
  // Forked before this process starts a thread of the library.
  ResponderProcess responder(namespaces.responder);
  ASSERT_EQ(responder.firstLine(), "ready");
  ASSERT_EQ(enterNamespace(namespaces.scanner), "");

  scantest::Recorder recorder;
  size_t scans = 0;
  // Keep binary and XML replies: by broadcast, then by multicast.
  for (int flags : {6, 14}) {
    SCOPED_TRACE(flags);
    NetworkScanner::triggerScan(flags, 0, 0, scantest::Recorder::callback, &recorder);
    ASSERT_TRUE(scantest::waitForEnd(recorder, ++scans));
    expectResponderFound();
  }

  // From another subnet, the answer comes to the broadcast address.
  ASSERT_EQ(namespaces.moveScannerOffSubnet(), "");
  Requester requester;
  requester.send(scanRequest(77, 0, 0, requester.port()), "255.255.255.255", kBroadcastPort);
  const auto answers = requester.collect(2);
  ASSERT_EQ(answers.size(), 2u);
  for (const Answer& answer : answers) {
    EXPECT_STREQ(::inet_ntoa(answer.destination), "255.255.255.255");
    EXPECT_STREQ(::inet_ntoa(answer.from.sin_addr), kResponderAddress);
  }
  NetworkScanner::triggerScan(6, 0, 0, scantest::Recorder::callback, &recorder);
  ASSERT_TRUE(scantest::waitForEnd(recorder, ++scans));
  expectResponderFound();
}

}  // namespace

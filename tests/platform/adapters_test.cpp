#include "platform/adapters.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "support/external_tool.h"

namespace zelkit::platform {
namespace {

// Output of a shell command, empty when it cannot run.
std::string commandOutput(const char* command) {
  std::string output;
  if (FILE* pipe = popen(command, "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    pclose(pipe);
  }
  return output;
}

std::string dotted(uint32_t networkOrder) {
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &networkOrder, text, sizeof text);
}

std::string macText(const uint8_t (&mac)[6]) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

int prefixLength(uint32_t networkOrderMask) { return __builtin_popcount(networkOrderMask); }

struct Expected {
  std::string device, address;
  int prefix;
};

// The iproute2 tool is the oracle: its IPv4 addresses (loopback left out),
// the default routes and the hardware addresses in /sys.
TEST(Adapters, MatchTheSystemsOwnTools) {
  ZELKIT_REQUIRE_TOOL("ip");
  const std::string addresses = commandOutput("ip -4 -o addr show 2>/dev/null");
  std::vector<Expected> expected;
  std::istringstream lines(addresses);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string index, device, family, cidr;
    words >> index >> device >> family >> cidr;
    const size_t slash = cidr.find('/');
    if (device == "lo" || slash == std::string::npos) continue;
    expected.push_back({device, cidr.substr(0, slash), std::stoi(cidr.substr(slash + 1))});
  }
  std::map<std::string, std::string> gateways;
  std::istringstream routes(commandOutput("ip -4 route show default 2>/dev/null"));
  for (std::string line; std::getline(routes, line);) {
    std::istringstream words(line);
    std::string word, via, device;
    while (words >> word) {
      if (word == "via") words >> via;
      if (word == "dev") words >> device;
    }
    if (!device.empty() && !gateways.count(device)) gateways[device] = via;
  }

  std::vector<AdapterInfo> adapters(expected.size() + 4);
  ASSERT_EQ(listAdapters(adapters.data(), static_cast<int>(adapters.size())), static_cast<int>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    const Expected& want = expected[i];
    const AdapterInfo& got = adapters[i];
    SCOPED_TRACE(want.device + " " + want.address);
    EXPECT_EQ(got.name, want.device);
    EXPECT_EQ(dotted(got.address), want.address);
    EXPECT_EQ(prefixLength(got.netmask), want.prefix);
    EXPECT_EQ(got.gateway == 0 ? "" : dotted(got.gateway), gateways[want.device]);
    std::string mac;
    std::ifstream("/sys/class/net/" + want.device + "/address") >> mac;
    EXPECT_EQ(macText(got.mac), mac);
  }
}

TEST(Adapters, CountWithoutRoomToFill) {
  const int count = listAdapters(nullptr, 0);
  EXPECT_GE(count, 0);
  AdapterInfo one[1];
  EXPECT_EQ(listAdapters(one, 1), count);
}

}  // namespace
}  // namespace zelkit::platform

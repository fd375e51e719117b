#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "client/scanner/adapter_info.h"
#include "client/scanner/scan_test_util.h"

namespace {

using zelkit::detail::AdapterInfo;
using zelkit::detail::getAdapterInfo;

using AdapterInfoTest = scantest::PrivateNetworkTest;

std::string macText(const uint8_t (&mac)[6]) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

TEST_F(AdapterInfoTest, TheFirstAddressOnTheTargetsSubnetIsTaken) {
  AdapterInfo info;
  // Only the loopback, which is no adapter: the defaults.
  EXPECT_EQ(getAdapterInfo(nullptr, &info), 0);
  EXPECT_STREQ(info.macText, "0-0-0-0-0-0");
  EXPECT_STREQ(info.addressText, "0.0.0.0");
  EXPECT_STREQ(info.subnetMaskText, "0.0.0.0");
  EXPECT_STREQ(info.gatewayText, "0.0.0.0");
  EXPECT_EQ(getAdapterInfo(nullptr, nullptr), 0);

  // Two adapters of the namespace's own, joined to each other.
  for (const char* step : {"ip link add zk0 address 02:00:00:00:00:01 type veth peer name zk1 address 02:00:00:00:00:02",
                           "ip addr add 10.77.0.1/24 dev zk0", "ip addr add 10.88.0.1/16 dev zk1",
                           "ip link set zk0 up", "ip link set zk1 up"})
    ASSERT_EQ(std::system(step), 0) << step;

  struct Case {
    const char* target;
    int result;
    const char* address;
    const char* mask;
    const char* mac;
  };
  const Case cases[] = {
      {"10.77.0.200", 1, "10.77.0.1", "255.255.255.0", "02-00-00-00-00-01"},
      {"10.88.200.9", 1, "10.88.0.1", "255.255.0.0", "02-00-00-00-00-02"},
      {"192.168.7.7", 0, "0.0.0.0", "0.0.0.0", "0-0-0-0-0-0"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.target);
    EXPECT_EQ(getAdapterInfo(row.target, &info), row.result);
    EXPECT_STREQ(info.addressText, row.address);
    EXPECT_STREQ(info.subnetMaskText, row.mask);
    EXPECT_STREQ(info.macText, row.mac);
    // The bytes say what the texts say.
    const uint32_t address = scantest::addressOf(row.address);
    const uint32_t mask = scantest::addressOf(row.mask);
    EXPECT_EQ(std::memcmp(info.address, &address, 4), 0);
    EXPECT_EQ(std::memcmp(info.subnetMask, &mask, 4), 0);
  }
  // Without a target, the first adapter address of all.
  EXPECT_EQ(getAdapterInfo(nullptr, &info), 1);
  EXPECT_EQ(macText(info.mac), info.macText);
}

}  // namespace

#pragma once

// A responder in a network namespace of the test's own, on the loopback,
// with adapter records that the test gives instead of the host's adapters.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>

#include "server/discovery/discovery_responder.h"
#include "server/discovery/discovery_test_util.h"
#include "server/server_test_util.h"
#include "support/private_network.h"

namespace discoverytest {

constexpr uint8_t kMac[6] = {0x02, 0x5a, 0x00, 0x10, 0x20, 0x30};

// The record the stand-in lookup knows: for no target, or for a target on
// its subnet; else the lookup finds nothing and leaves the defaults.
inline zelkit::detail::AdapterInfo& knownAdapter() {
  static zelkit::detail::AdapterInfo record;
  return record;
}

inline int lookUpKnownAdapter(const char* target, zelkit::detail::AdapterInfo* record) {
  const uint8_t none[6] = {};
  *record = adapterRecord("0.0.0.0", "0.0.0.0", "0.0.0.0", none);
  if (target != nullptr && !zelkit::detail::subnetHolds(knownAdapter(), ::inet_addr(target))) return 0;
  *record = knownAdapter();
  return 1;
}

class ResponderTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(zeltest::enterPrivateNetwork(), "");
    // A test may change the record before it starts the responder, which
    // looks up its first record at once.
    knownAdapter() = adapterRecord("127.0.0.1", "255.0.0.0", "127.0.0.254", kMac);
    zelkit::detail::discoveryResponder().setAdapterLookup(lookUpKnownAdapter);
    // Made inside the namespace, like everything of the library the test uses.
    server = std::make_unique<servertest::TestServer>();
  }

  std::unique_ptr<servertest::TestServer> server;
};

}  // namespace discoverytest

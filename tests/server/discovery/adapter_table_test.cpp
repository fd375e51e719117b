#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/discovery/adapter_table.h"
#include "server/discovery/discovery_test_util.h"

namespace {

using zelkit::detail::AdapterInfo;
using zelkit::detail::AdapterTable;

constexpr uint8_t kMac[6] = {2, 0, 0, 0, 0, 1};

std::vector<AdapterInfo> hostAdapters;
int lookups = 0;

// Like the host's lookup: the first adapter on the target's subnet (of
// all, without a target), else the defaults.
int lookUpHostAdapter(const char* target, AdapterInfo* record) {
  ++lookups;
  *record = discoverytest::adapterRecord("0.0.0.0", "0.0.0.0", "0.0.0.0", kMac);
  for (const AdapterInfo& adapter : hostAdapters) {
    if (target != nullptr && !zelkit::detail::subnetHolds(adapter, ::inet_addr(target))) continue;
    *record = adapter;
    return 1;
  }
  return 0;
}

// An adapter of its own for every target: each requester takes a record.
int lookUpAdapterOfTarget(const char* target, AdapterInfo* record) {
  ++lookups;
  *record = discoverytest::adapterRecord(target != nullptr ? target : "10.0.0.1", "255.255.255.255", "0.0.0.0", kMac);
  return 1;
}

struct Step {
  const char* requester;
  const char* chosen;
  bool onSubnet;
  int lookups;  // so far
};

void walk(AdapterTable& table, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    SCOPED_TRACE(step.requester);
    bool onSubnet = !step.onSubnet;
    const AdapterInfo& record = table.choose(::inet_addr(step.requester), onSubnet);
    EXPECT_STREQ(record.addressText, step.chosen);
    EXPECT_EQ(onSubnet, step.onSubnet);
    EXPECT_EQ(lookups, step.lookups);
  }
}

TEST(AdapterTable, RecordsAreLookedUpOnceAndTheFirstServesTheRest) {
  hostAdapters = {discoverytest::adapterRecord("10.1.0.1", "255.255.0.0", "10.1.0.254", kMac),
                  discoverytest::adapterRecord("192.168.5.1", "255.255.255.0", "0.0.0.0", kMac)};
  lookups = 0;
  AdapterTable table(lookUpHostAdapter);
  walk(table, {
                  {"10.1.2.3", "10.1.0.1", true, 1},
                  {"192.168.5.77", "192.168.5.1", true, 2},
                  {"192.168.5.78", "192.168.5.1", true, 2},
                  // No adapter serves it: the first one's record, off its subnet.
                  {"172.16.0.1", "10.1.0.1", false, 3},
                  // The record left empty is tried again.
                  {"172.16.0.2", "10.1.0.1", false, 4},
              });
}

TEST(AdapterTable, EightRecordsAtMost) {
  lookups = 0;
  AdapterTable table(lookUpAdapterOfTarget);
  std::vector<Step> steps;
  for (int host = 2; host <= 8; ++host) {
    static std::string texts[9];
    texts[host] = "10.0.0." + std::to_string(host);
    steps.push_back({texts[host].c_str(), texts[host].c_str(), true, host});
  }
  steps.push_back({"10.0.0.9", "10.0.0.1", false, 8});
  steps.push_back({"10.0.0.5", "10.0.0.5", true, 8});
  walk(table, steps);
}

}  // namespace

#include "support/private_network.h"

#include <sched.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zeltest {

namespace {

std::string enterNetworkNamespace(const std::vector<const char*>& steps) {
  if (::unshare(CLONE_NEWNET) != 0)
    return std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno) + " (the tests need root)";
  for (const char* step : steps) {
    const std::string command = std::string(step) + " 2>&1";
    if (std::system(command.c_str()) != 0) return std::string("\"") + step + "\" failed (package iproute2)";
  }
  return "";
}

}  // namespace

std::string enterPrivateNetwork() {
  return enterNetworkNamespace({"ip link set lo up", "ip route add default dev lo src 127.0.0.1"});
}

std::string enterLoopbackOnlyNetwork() { return enterNetworkNamespace({"ip link set lo up"}); }

}  // namespace zeltest

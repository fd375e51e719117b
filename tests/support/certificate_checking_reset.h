#pragma once

#include <atomic>

#include "zelkit/client.h"

namespace zeltest {

// Puts the default certificate checking back (none, no callback) when it
// goes: declared after what a test's certificate callback points at, it
// unregisters the callback before that is gone.
struct CertificateCheckingReset {
  CertificateCheckingReset() = default;
  CertificateCheckingReset(const CertificateCheckingReset&) = delete;
  CertificateCheckingReset& operator=(const CertificateCheckingReset&) = delete;
  ~CertificateCheckingReset() {
    zelkit::ZelClient::setCertificateCheckingMode(zelkit::ZelClient::CertificateCheckNone, false, nullptr, nullptr);
  }
};

// A certificate callback that approves whatever it is asked about, from
// inside the callback, on its client's connection, and counts the questions.
struct Approver {
  zelkit::ZelClient* client = nullptr;
  std::atomic<int> asked{0};
  static void callback(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
    auto* approver = static_cast<Approver*>(context);
    ++approver->asked;
    approver->client->approved();
  }
};

}  // namespace zeltest

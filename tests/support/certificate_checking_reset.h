#pragma once

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

}  // namespace zeltest

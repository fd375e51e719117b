#pragma once

#include <cstdint>
#include <cstdio>

#include "core/engine/list.h"

namespace zelkit::detail {

class Connection;
struct SslContext;

// Host names are kept whole up to the longest a DNS name can be.
constexpr int CERTIFICATE_HOST_MAX = 253;
constexpr int CERTIFICATE_ALGORITHM_MAX = 7;
constexpr int CERTIFICATE_DIGEST_SIZE = 16;

// One approved certificate: the MD5 of its DER bytes for a host and port.
struct CertificateCacheEntry {
  CertificateCacheEntry* next = nullptr;
  char host[CERTIFICATE_HOST_MAX + 1] = {};
  char algorithm[CERTIFICATE_ALGORITHM_MAX + 1] = {};
  uint8_t digest[CERTIFICATE_DIGEST_SIZE] = {};
  uint16_t port = 0;
  long fileOffset = -1;  // of the entry's line; -1 when it has none
};

// The certificates the application approved, in memory and in the text
// file "cert.cache", one line "host port md5 base64-digest" each. Lines are
// only ever appended; a superseded line is disabled by a '#' over its first
// byte, which also marks comments. Without a usable file the cache works in
// memory. Guarded by the library lock.
class CertificateCache {
 public:
  // The file in the user's data folder.
  CertificateCache();
  // The file at path (created when missing); null: in memory only.
  explicit CertificateCache(const char* path);
  ~CertificateCache();
  CertificateCache(const CertificateCache&) = delete;
  CertificateCache& operator=(const CertificateCache&) = delete;

  // For the server certificate of a connection: 0 no entry for its host
  // and port, 1 an entry with another digest, 2 an entry with this digest.
  int check(Connection* connection) const;
  // Remembers the server certificate of a connection for its host and port.
  void approve(Connection* connection);
  void store(const char* host, uint16_t port, const char* algorithm, const uint8_t digest[CERTIFICATE_DIGEST_SIZE]);
  // The newest entry for host and port, or null.
  const CertificateCacheEntry* find(const char* host, uint16_t port) const;
  bool hasFile() const { return file_ != nullptr; }

 private:
  void open(const char* path);
  void load();
  void appendLine(CertificateCacheEntry* entry);

  List<CertificateCacheEntry> entries_;
  std::FILE* file_ = nullptr;
};

// MD5 of the peer certificate a TLS context keeps; without one, the bytes
// "<<invalid>>" followed by five zeros.
void certificateDigest(const SslContext* tls, uint8_t digest[CERTIFICATE_DIGEST_SIZE]);

// path := "<user data folder>/<fileName>" (the folder is made when
// missing); null when there is no folder or the path does not fit. kind
// is not used.
char* getApplicationFilePath(int kind, char* path, int size, const char* fileName);

}  // namespace zelkit::detail

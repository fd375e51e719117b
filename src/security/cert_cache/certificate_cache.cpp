#include "security/cert_cache/certificate_cache.h"

#include <cerrno>
#include <cstring>

#include "core/connection/connection.h"
#include "security/cert_cache/cache_line.h"

namespace zelkit::detail {

namespace {

constexpr int CACHE_PATH_SIZE = 1024;
constexpr int LINE_BUFFER_SIZE = 1024;
constexpr char CACHE_FILE_NAME[] = "cert.cache";

// Host texts are compared over the length they are stored with.
bool sameHost(const char* stored, const char* host) { return std::strncmp(stored, host, CERTIFICATE_HOST_MAX) == 0; }

}  // namespace

CertificateCache::CertificateCache() {
  char path[CACHE_PATH_SIZE];
  if (getApplicationFilePath(2, path, sizeof path, CACHE_FILE_NAME) == nullptr) {
    core().log(nullptr, "file", "Error getting getApplicationFilePath");
    return;
  }
  open(path);
}

CertificateCache::CertificateCache(const char* path) {
  if (path != nullptr) open(path);
}

CertificateCache::~CertificateCache() {
  while (CertificateCacheEntry* entry = entries_.popFront()) delete entry;
  if (file_ != nullptr) std::fclose(file_);
}

void CertificateCache::open(const char* path) {
  file_ = std::fopen(path, "r+");
  if (file_ == nullptr) file_ = std::fopen(path, "w+");
  if (file_ == nullptr) {
    core().log(nullptr, "cert", "Error %d opening certificate cache %s", errno, path);
    return;
  }
  load();
}

void CertificateCache::load() {
  char line[LINE_BUFFER_SIZE];
  long offset = 0;
  while (std::fgets(line, sizeof line, file_) != nullptr) {
    int length = static_cast<int>(std::strlen(line));
    if (length > 0 && line[length - 1] == '\n') {
      --length;
    } else {
      // A line longer than the buffer: its rest is no line of its own.
      int c;
      while ((c = std::fgetc(file_)) != EOF && c != '\n') {
      }
    }
    if (line[0] != '#') {
      auto* entry = new CertificateCacheEntry;
      parseCacheLine(line, length, *entry);
      entry->fileOffset = offset;
      entries_.pushFront(entry);  // later lines are found first
    }
    offset = std::ftell(file_);
  }
}

const CertificateCacheEntry* CertificateCache::find(const char* host, uint16_t port) const {
  for (const CertificateCacheEntry* entry = entries_.first(); entry != nullptr; entry = entry->next)
    if (entry->port == port && sameHost(entry->host, host)) return entry;
  return nullptr;
}

void CertificateCache::store(const char* host, uint16_t port, const char* algorithm,
                             const uint8_t digest[CERTIFICATE_DIGEST_SIZE]) {
  auto* entry = const_cast<CertificateCacheEntry*>(find(host, port));
  if (entry != nullptr && std::memcmp(entry->digest, digest, CERTIFICATE_DIGEST_SIZE) == 0) return;
  if (entry != nullptr) {
    std::memcpy(entry->digest, digest, CERTIFICATE_DIGEST_SIZE);
    if (file_ != nullptr && entry->fileOffset >= 0) {
      std::fseek(file_, entry->fileOffset, SEEK_SET);
      std::fputc('#', file_);
      std::fflush(file_);
    }
  } else {
    entry = new CertificateCacheEntry;
    std::snprintf(entry->host, sizeof entry->host, "%s", host);
    std::snprintf(entry->algorithm, sizeof entry->algorithm, "%s", algorithm);
    entry->port = port;
    std::memcpy(entry->digest, digest, CERTIFICATE_DIGEST_SIZE);
    entries_.pushFront(entry);
  }
  if (file_ != nullptr) appendLine(entry);
}

void CertificateCache::appendLine(CertificateCacheEntry* entry) {
  char line[CERTIFICATE_HOST_MAX + 64];
  const int length = formatCacheLine(*entry, line, sizeof line);
  if (length < 0) return;
  std::fseek(file_, 0, SEEK_END);
  long end = std::ftell(file_);
  // A last line without its line feed (an edited file) must not swallow the new one.
  if (end > 0) {
    std::fseek(file_, end - 1, SEEK_SET);
    const bool terminated = std::fgetc(file_) == '\n';
    std::fseek(file_, 0, SEEK_END);
    if (!terminated) {
      std::fputc('\n', file_);
      ++end;
    }
  }
  entry->fileOffset = end;
  std::fwrite(line, 1, static_cast<std::size_t>(length), file_);
  std::fflush(file_);
}

int CertificateCache::check(Connection* connection) const {
  uint8_t digest[CERTIFICATE_DIGEST_SIZE];
  certificateDigest(connection->ssl, digest);
  const CertificateCacheEntry* entry = find(connection->host, connection->port());
  if (entry == nullptr) return 0;
  return std::memcmp(entry->digest, digest, CERTIFICATE_DIGEST_SIZE) == 0 ? 2 : 1;
}

void CertificateCache::approve(Connection* connection) {
  uint8_t digest[CERTIFICATE_DIGEST_SIZE];
  certificateDigest(connection->ssl, digest);
  store(connection->host, connection->port(), "md5", digest);
}

}  // namespace zelkit::detail

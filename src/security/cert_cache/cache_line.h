#pragma once

#include "security/cert_cache/certificate_cache.h"

namespace zelkit::detail {

// Reads one line of the cache file (without its line feed) into entry:
// host, port, algorithm and base64 digest, separated by single blanks.
// Whatever fields a malformed line has are taken; missing ones stay empty
// or zero. Comment lines are the caller's business.
void parseCacheLine(const char* line, int length, CertificateCacheEntry& entry);

// The line "%s %d %s %s\n" of an entry; its length, or -1 when it does not
// fit in size bytes.
int formatCacheLine(const CertificateCacheEntry& entry, char* out, int size);

}  // namespace zelkit::detail

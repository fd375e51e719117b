#pragma once

#include <cstdint>

#include "core/engine/lock.h"
#include "zelkit/rtp_streamer_session.h"

namespace zelkit::detail {

constexpr int MEDIA_LINES = 256;
constexpr uint32_t NO_LINE = 0xFFFFFFFF;

// The process's media sessions by video line, and what each line's
// multicast streams use. Guarded by lock, the session-table lock, which is
// taken after the library lock when both are held.
struct MediaTables {
  struct MulticastTarget {
    uint32_t address = 0;  // network order; 0: none
    uint16_t port = 0;     // network order
  };

  CriticalSection lock;
  RtpStreamerSession* lines[MEDIA_LINES] = {};  // newest first
  MulticastTarget multicast[MEDIA_LINES][3];
  uint8_t noKeepAlive[MEDIA_LINES] = {};
  uint32_t sessionIdCounter = 0;

  // Under lock.
  void link(RtpStreamerSession* session);
  void unlink(RtpStreamerSession* session);
  // Steps of 0x80000 with the line's low byte below them; never 0, which
  // a client takes for "no media session".
  uint32_t nextSessionId(uint32_t line);
  template <typename Visit>
  void forEachInLine(int line, Visit&& visit) {
    for (RtpStreamerSession* session = lines[line]; session != nullptr; session = session->nextInLine_)
      visit(session);
  }
  template <typename Visit>
  void forEachSession(Visit&& visit) {
    for (int line = 0; line < MEDIA_LINES; ++line) forEachInLine(line, visit);
  }
};

MediaTables& mediaTables();

inline bool isMediaLine(int64_t line) { return line >= 0 && line < MEDIA_LINES; }

}  // namespace zelkit::detail

#include "server/streaming/media_tables.h"

namespace zelkit::detail {

namespace {

constexpr uint32_t SESSION_ID_STEP = 0x80000;

}  // namespace

MediaTables& mediaTables() {
  static MediaTables* const tables = new MediaTables();
  return *tables;
}

void MediaTables::link(RtpStreamerSession* session) {
  session->nextInLine_ = lines[session->line_];
  lines[session->line_] = session;
}

void MediaTables::unlink(RtpStreamerSession* session) {
  if (!isMediaLine(session->line_)) return;
  for (RtpStreamerSession** link = &lines[session->line_]; *link != nullptr; link = &(*link)->nextInLine_) {
    if (*link == session) {
      *link = session->nextInLine_;
      session->nextInLine_ = nullptr;
      return;
    }
  }
}

uint32_t MediaTables::nextSessionId(uint32_t line) {
  sessionIdCounter += SESSION_ID_STEP;
  uint32_t id = sessionIdCounter + (line & 0xFF);
  if (id == 0) {
    sessionIdCounter += SESSION_ID_STEP;
    id = sessionIdCounter;
  }
  return id;
}

}  // namespace zelkit::detail

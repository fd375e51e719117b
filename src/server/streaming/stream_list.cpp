// What the server tells about its media sessions: CMD_STREAM_LIST, the
// counts of a line and the lookup by session id.
#include "core/engine/lock.h"
#include "server/media/media_socket.h"
#include "server/streaming/media_tables.h"
#include "zelkit/server.h"

namespace zelkit {

void ZelServer::onListStreams(ZelSessionRef const& session, ZelHeader& header, ZelInputStream&) {
  ZelOutputStream reply;
  {
    detail::GlobalLock lock;  // the sessions' flags change under it
    detail::MediaTables& tables = detail::mediaTables();
    detail::CriticalSectionLock table(&tables.lock);
    tables.forEachSession([&](RtpStreamerSession* media) {
      RtpStreamDescriptor first{};
      if (media->descriptorCount_ > 0) first = media->descriptors_[0];
      reply.write(&first.address, 4);
      reply.writeUShort(static_cast<unsigned short>(media->line_));
      reply.writeUShort(media->flags_);
      reply.writeULong(media->sessionId_);
      reply.writeOctet(first.argument);
      reply.writeOctet(static_cast<unsigned char>(first.line));
      reply.writeUShort(0);
      reply.writeULong(1);
      reply.writeULong(0);
    });
  }
  session->respond(header, reply);
}

int ZelServer::getInfo(int line, ServerStats kind) {
  if (!detail::isMediaLine(line) || (kind != LineSessions && kind != LineStreams)) return 0;
  detail::MediaTables& tables = detail::mediaTables();
  detail::CriticalSectionLock table(&tables.lock);
  int unicast = 0;
  int multicast = 0;
  tables.forEachInLine(line, [&](RtpStreamerSession* session) {
    const detail::MediaSocket* video = session->sockets_[0];
    if (video != nullptr && video->multicast != 0)
      ++multicast;
    else
      ++unicast;
  });
  if (kind == LineSessions) return unicast + multicast;
  return unicast + (multicast > 0 ? 1 : 0);
}

RtpStreamerSessionRef ZelServer::getStreamerSession(unsigned long id) {
  detail::GlobalLock lock;
  detail::MediaTables& tables = detail::mediaTables();
  detail::CriticalSectionLock table(&tables.lock);
  RtpStreamerSessionRef found;
  tables.forEachSession([&](RtpStreamerSession* session) {
    if (!found && session->sessionId_ == static_cast<uint32_t>(id)) found = session->handle();
  });
  return found;
}

}  // namespace zelkit

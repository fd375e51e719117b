// A media session of the server: its streams, its place in the line lists,
// and what it tells about itself.
#include <algorithm>
#include <cstring>

#include "core/engine/lock.h"
#include "security/cipher/crypt.h"
#include "server/media/connect_descriptor.h"
#include "server/media/media_socket.h"
#include "server/streaming/media_tables.h"

namespace zelkit {

namespace {

constexpr int32_t KEEP_ALIVE_START = 10;
constexpr uint8_t MULTICAST_REQUEST_BYTES[4] = {0xE0, 0, 0, 0};

bool isMulticastRequest(uint32_t networkAddress) {
  return std::memcmp(&networkAddress, MULTICAST_REQUEST_BYTES, 4) == 0;
}

bool isStreamType(uint8_t type) { return type >= RtpStreamDescriptor::Video && type <= RtpStreamDescriptor::ThirdStream; }

}  // namespace

RtpStreamerSession::RtpStreamerSession(RtpStreamDescriptor const* descriptors, int count)
    : descriptors_(nullptr),
      descriptorCount_(0),
      keepAlive_(KEEP_ALIVE_START),
      sessionId_(0),
      line_(detail::NO_LINE),
      sockets_{},
      sequence_{},
      nextInLine_(nullptr),
      disconnected_(false),
      ciphers_{},
      keyedInReply_(0) {
  detail::GlobalLock lock;
  detail::MediaTables& tables = detail::mediaTables();
  if (descriptors != nullptr && count > 0) {
    descriptors_ = new RtpStreamDescriptor[count];
    std::copy(descriptors, descriptors + count, descriptors_);
    descriptorCount_ = count;
  }
  for (int i = 0; i < descriptorCount_; ++i) {
    RtpStreamDescriptor& d = descriptors_[i];
    if (!isStreamType(d.type)) continue;
    const int stream = d.type - 1;
    const uint32_t line = detail::isMediaLine(d.line) ? d.line : 0;
    delete sockets_[stream];
    auto* socket = new detail::MediaSocket();
    sockets_[stream] = socket;
    socket->reset(nullptr);
    if ((d.flags & RtpStreamDescriptor::OverTcp) != 0) {
      socket->setState(detail::MediaSocketState::Connecting);
    } else {
      detail::MediaTables::MulticastTarget group;
      {
        detail::CriticalSectionLock table(&tables.lock);
        group = tables.multicast[line][stream];
      }
      if (group.address != 0 && isMulticastRequest(d.address)) {
        d.address = group.address;
        d.port = group.port;
      } else if (isMulticastRequest(d.address) || d.address == 0) {
        d.address = d.peerAddress;
      }
      socket->openUdp(d.address, d.port);
    }
    if (d.type == RtpStreamDescriptor::Video || line_ == detail::NO_LINE) line_ = line;
  }
  detail::CriticalSectionLock table(&tables.lock);
  sessionId_ = tables.nextSessionId(line_);
  if (detail::isMediaLine(line_)) tables.link(this);
}

RtpStreamerSession::~RtpStreamerSession() {
  {
    // A session leaves its line through transmit; one that did not is taken
    // out here rather than left behind for the walks of the lists.
    detail::GlobalLock lock;
    detail::CriticalSectionLock table(&detail::mediaTables().lock);
    detail::mediaTables().unlink(this);
  }
  for (detail::MediaSocket* socket : sockets_) delete socket;
  for (auto& cipher : ciphers_) delete cipher.load();
  delete[] descriptors_;
}

void RtpStreamerSession::onConnectionEstablished() {}

void RtpStreamerSession::updateKeepAlive() { keepAlive_.store(KEEP_ALIVE_START, std::memory_order_relaxed); }

bool RtpStreamerSession::socketsReady() const {
  for (int i = 0; i < descriptorCount_; ++i) {
    const uint8_t type = descriptors_[i].type;
    if (!isStreamType(type)) continue;
    const detail::MediaSocket* socket = sockets_[type - 1];
    if (socket == nullptr || socket->currentState() == detail::MediaSocketState::Connecting) return false;
  }
  return true;
}

bool RtpStreamerSession::hasTcpStream() const {
  for (int i = 0; i < descriptorCount_; ++i)
    if (isStreamType(descriptors_[i].type) && (descriptors_[i].flags & RtpStreamDescriptor::OverTcp) != 0) return true;
  return false;
}

int RtpStreamerSession::concurrentStreamCount() const {
  if (!detail::isMediaLine(line_)) return 1;
  detail::MediaTables& tables = detail::mediaTables();
  detail::CriticalSectionLock table(&tables.lock);
  int count = 1;
  tables.forEachInLine(static_cast<int>(line_), [&](RtpStreamerSession*) { ++count; });
  return count;
}

int RtpStreamerSession::activeByLine(int line) {
  if (!detail::isMediaLine(line)) return 0;
  detail::MediaTables& tables = detail::mediaTables();
  detail::CriticalSectionLock table(&tables.lock);
  int count = 0;
  tables.forEachInLine(line, [&](RtpStreamerSession* session) { count += session->socketsReady() ? 1 : 0; });
  return count;
}

int RtpStreamerSession::setMulticastAddress(unsigned line, RtpStreamDescriptor::Type type, unsigned long address,
                                            unsigned short port, bool noKeepAlive) {
  if (line >= static_cast<unsigned>(detail::MEDIA_LINES) || !isStreamType(type)) return -1;
  detail::MediaTables& tables = detail::mediaTables();
  detail::CriticalSectionLock table(&tables.lock);
  tables.multicast[line][type - 1] = {static_cast<uint32_t>(address), port};
  tables.noKeepAlive[line] = noKeepAlive ? 1 : 0;
  return 0;
}

RtpStreamerSessionRef RtpStreamerSession::handle() {
  detail::GlobalLock lock;
  return RtpStreamerSessionRef(self_);
}

int RtpStreamerSession::descriptorAtReplyItem(unsigned index) const {
  // The reply puts five items (four key items and the end item) behind
  // each descriptor that got a key.
  unsigned item = 1;
  for (int i = 0; i < descriptorCount_; ++i) {
    if (item == index) return i;
    item += 1;
    if (i < 32 && (keyedInReply_ & (1u << i)) != 0) item += detail::STREAM_KEY_ITEMS + 1;
  }
  return -1;
}

}  // namespace zelkit

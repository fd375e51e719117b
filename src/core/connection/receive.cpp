#include <cstdio>
#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "platform/completion_port.h"
#include "zelkit/server.h"

namespace zelkit::detail {

void Connection::startReceive(void* buffer, uint32_t length) {
  if (socketHandle <= 0) return;
  const uint32_t ticket = stampNextTicket(receiveOp);
  const uint32_t error = platform::startReceive(socketHandle, buffer, length, &receiveOp.record);
  if (error != 0) {
    close(LocalEvent::ConnectionClosed, "Error setting up reader (%d).", error);
    return;
  }
  receiveTicket = ticket;
  receiveLength = length;
  if (session != nullptr) session->retain();
}

uint32_t Connection::stampNextTicket(IoOperation& operation) {
  if (++lastTicket == 0) ++lastTicket;  // 0 stands for none
  operation.record.ticket = lastTicket;
  return lastTicket;
}

bool Connection::claimCompletion(uint32_t mode, uint32_t ticket) {
  uint32_t& outstanding = mode == ConnectionReceive ? receiveTicket : sendTicket;
  if (ticket == 0 || ticket != outstanding) return false;
  outstanding = 0;
  return true;
}

void Connection::startHeaderReceive() {
  receivePhase = ReceivePhase::Header;
  if (inbox == nullptr) inbox = new uint8_t[INBOX_CAPACITY];
  startReceive(inbox + inboxLength, static_cast<uint32_t>(INBOX_CAPACITY - inboxLength));
}

void Connection::startDatagramReceive() {
  receivePhase = ReceivePhase::Datagram;
  tpktWord = 51;
  if (receivePacket == nullptr) receivePacket = ZelPacket::alloc(DATAGRAM_PACKET_CAPACITY);
  startReceive(receivePacket->wire + TPKT_HEADER_SIZE, DATAGRAM_RECEIVE_SIZE);
}

void Connection::onReceived(uint32_t bytes) {
  // No count, however wrong, moves an offset past the buffer it was given.
  if (bytes > receiveLength) {
    close(LocalEvent::ConnectionClosed, "Receive of %d bytes overran its buffer", bytes);
    return;
  }
  // One clock read per receive, however many frames it carries.
  lastActivityTick = tickCount();
  switch (receivePhase) {
    case ReceivePhase::Datagram:
      onDatagram(bytes);
      return;
    case ReceivePhase::Tls:
      onSslReceived(bytes);
      return;
    case ReceivePhase::Http:
      onHttpReceived(bytes);
      return;
    case ReceivePhase::Header:
      inboxLength += static_cast<int>(bytes);
      parseInbox();
      return;
    case ReceivePhase::Body: {
      receiveRemaining -= static_cast<int32_t>(bytes);
      if (receiveRemaining > 0) {
        startReceive(receivePacket->wire + receivePacket->tpktLength() - receiveRemaining,
                     static_cast<uint32_t>(receiveRemaining));
        return;
      }
      ZelPacket* packet = receivePacket;
      receivePacket = nullptr;
      const uint32_t generation = socketGeneration;
      if (completeFrame(packet) && socketStillOpen(generation)) parseInbox();  // empty: the next read
      return;
    }
  }
}

ZelPacket* Connection::newReceivePacket(const uint8_t* tpkt) {
  const int payloadLength = readBE16(tpkt + 2) - FRAME_HEADER_SIZE;
  ZelPacket* packet = ZelPacket::alloc(payloadLength);
  packet->payloadLength = payloadLength;
  packet->sourceUrl = url;
  packet->context = nullptr;
  packet->waiterEvent = nullptr;
  return packet;
}

void Connection::parseInbox() {
  // Dispatch may run callbacks with the lock released; if the socket is
  // closed meanwhile, what is left in the buffer belongs to no one.
  const uint32_t generation = socketGeneration;
  int offset = 0;
  bool paused = false;
  while (inboxLength - offset >= TPKT_HEADER_SIZE) {
    // The frames left in the buffer wait there while reading is paused.
    if (pauseReadingIfFull()) {
      paused = true;
      break;
    }
    const uint8_t* frame = inbox + offset;
    const int frameLength = readBE16(frame + 2);
    if (frame[0] != 3 || frameLength < FRAME_HEADER_SIZE) {
      closeOnBadFrame("Tpkt header mismatch", 0);
      return;
    }
    ZelPacket* packet = newReceivePacket(frame);
    const int buffered = inboxLength - offset < frameLength ? inboxLength - offset : frameLength;
    std::memcpy(packet->wire, frame, static_cast<std::size_t>(buffered));
    offset += buffered;
    if (buffered < frameLength) {
      // The rest is read straight into the packet.
      inboxLength = 0;
      receivePacket = packet;
      receiveRemaining = frameLength - buffered;
      receivePhase = ReceivePhase::Body;
      startReceive(packet->wire + buffered, static_cast<uint32_t>(receiveRemaining));
      return;
    }
    if (!completeFrame(packet) || !socketStillOpen(generation)) return;
  }
  // A header that arrived in part waits at the front for its other bytes.
  inboxLength -= offset;
  std::memmove(inbox, inbox + offset, static_cast<std::size_t>(inboxLength));
  receivePhase = ReceivePhase::Header;
  if (paused || pauseReadingIfFull()) return;
  startHeaderReceive();
}

bool Connection::completeFrame(ZelPacket* packet) {
  if (hasLog()) logPacket("recv", packet);
  if (packet->mode() & ModeValueTable) {
    // The header then gives the payload length; the table follows it.
    const int declared = static_cast<int>(packet->headerWord(3) & 0xFFFF);
    if (declared > packet->payloadLength) {
      ZelPacket::free(packet);
      closeOnBadFrame("Tpkt header mismatch", 0);
      return false;
    }
    packet->payloadLength = declared;
  }
  if (ZelPacket* whole = joinFragments(packet)) {
    if (session != nullptr)
      session->dispatch(whole);
    else
      dispatchPacket(whole);
  }
  return true;
}

void Connection::closeOnBadFrame(const char* reasonFormat, uint32_t argument) {
  // The sends deferred to the end of this completion would find the socket
  // closed. (The receive's reference on the session keeps this alive.)
  const uint32_t generation = socketGeneration;
  if (sendDeferred) {
    core().forgetDeferredSend(this);
    if (readyToSend()) sendQueued();
  }
  if (socketStillOpen(generation)) close(LocalEvent::ConnectionClosed, reasonFormat, argument);
}

int32_t Connection::joinedPayloadLimit() const {
  const bool loggedIn = session == nullptr || session->getPrivilegeLevel() != 0;
  return loggedIn ? MAX_JOINED_PAYLOAD : MAX_JOINED_PAYLOAD_BEFORE_LOGIN;
}

void Connection::onDatagram(uint32_t bytes) {
  const uint32_t generation = socketGeneration;
  // A datagram shorter than the header carries nothing to dispatch.
  if (bytes >= static_cast<uint32_t>(ZEL_HEADER_SIZE)) {
    ZelPacket* packet = receivePacket;
    receivePacket = nullptr;
    packet->payloadLength = static_cast<int32_t>(bytes) - ZEL_HEADER_SIZE;
    packet->sourceUrl = url;
    packet->context = nullptr;
    packet->waiterEvent = nullptr;
    if (hasLog()) logPacket("recv", packet);
    dispatchPacket(packet);
  }
  if (socketStillOpen(generation)) startDatagramReceive();
}

ZelPacket* Connection::joinFragments(ZelPacket* packet) {
  const bool more = (packet->mode() & ModeMoreFragments) != 0;
  if (fragments.isEmpty() && !more) return packet;
  if (!more && packet->headerWord(0) != fragments.first()->headerWord(0)) {
    std::printf("extensions-mismatch\n");
    fragments.clear();
    ZelPacket::setError(packet, ExtensionMismatch);
    return packet;
  }
  const int32_t limit = joinedPayloadLimit();
  if (fragments.payloadBytes() + packet->payloadLength > limit) {
    ZelPacket::free(packet);
    closeOnBadFrame(limit == MAX_JOINED_PAYLOAD ? "Fragmented packet larger than %d bytes"
                                                : "Fragmented packet larger than %d bytes before login",
                    static_cast<uint32_t>(limit));
    return nullptr;
  }
  if (!more) return fragments.join(packet);
  fragments.add(packet);
  return nullptr;
}

}  // namespace zelkit::detail

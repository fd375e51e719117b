#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/connection.h"
#include "core/lock.h"
#include "platform/completion_port.h"
#include "zelkit/server.h"

namespace zelkit::detail {

void Connection::startReceive(void* buffer, uint32_t length) {
  if (socketHandle <= 0) return;
  const uint32_t error = platform::startReceive(socketHandle, buffer, length, &receiveOp.record);
  if (error != 0) {
    close(LocalEvent::ConnectionClosed, "Error setting up reader (%d).", error);
    return;
  }
  if (session != nullptr) session->retain();
}

void Connection::startHeaderReceive() {
  receivePhase = ReceivePhase::Header;
  headerBytes = 0;
  startReceive(&tpktWord, TPKT_HEADER_SIZE);
}

void Connection::startDatagramReceive() {
  receivePhase = ReceivePhase::Datagram;
  tpktWord = 51;
  if (receivePacket == nullptr) receivePacket = ZelPacket::alloc(DATAGRAM_PACKET_CAPACITY);
  startReceive(receivePacket->wire + TPKT_HEADER_SIZE, DATAGRAM_RECEIVE_SIZE);
}

void Connection::onReceived(uint32_t bytes) {
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
      onHeaderBytes(bytes);
      return;
    case ReceivePhase::Body:
      receiveRemaining -= static_cast<int32_t>(bytes);
      if (receiveRemaining > 0)
        startReceive(receivePacket->wire + receivePacket->tpktLength() - receiveRemaining,
                     static_cast<uint32_t>(receiveRemaining));
      else
        completeFrame();
      return;
  }
}

void Connection::onHeaderBytes(uint32_t bytes) {
  // TCP may split the four header bytes anywhere.
  headerBytes += static_cast<int>(bytes);
  auto* header = reinterpret_cast<uint8_t*>(&tpktWord);
  if (headerBytes < TPKT_HEADER_SIZE) {
    startReceive(header + headerBytes, static_cast<uint32_t>(TPKT_HEADER_SIZE - headerBytes));
    return;
  }
  const int frameLength = readBE16(header + 2);
  if (header[0] != 3 || frameLength < FRAME_HEADER_SIZE) {
    close(LocalEvent::ConnectionClosed, "Tpkt header mismatch", 0);
    return;
  }
  if (receivePacket != nullptr) ZelPacket::free(receivePacket);
  const int bodyLength = frameLength - TPKT_HEADER_SIZE;
  ZelPacket* packet = ZelPacket::alloc(bodyLength - ZEL_HEADER_SIZE);
  packet->payloadLength = bodyLength - ZEL_HEADER_SIZE;
  packet->setTpktWord(readBE32(header));
  packet->sourceUrl = url;
  packet->context = nullptr;
  packet->waiterEvent = nullptr;
  receivePacket = packet;
  receiveRemaining = bodyLength;
  receivePhase = ReceivePhase::Body;
  tpktWord = 0;
  lastActivityTick = tickCount();
  startReceive(packet->wire + TPKT_HEADER_SIZE, static_cast<uint32_t>(bodyLength));
}

void Connection::completeFrame() {
  ZelPacket* packet = receivePacket;
  receivePacket = nullptr;
  if (hasLog()) logPacket("recv", packet);
  if (packet->mode() & ModeValueTable) {
    // The header then gives the payload length; the table follows it.
    const int declared = static_cast<int>(packet->headerWord(3) & 0xFFFF);
    if (declared > packet->payloadLength) {
      ZelPacket::free(packet);
      close(LocalEvent::ConnectionClosed, "Tpkt header mismatch", 0);
      return;
    }
    packet->payloadLength = declared;
  }
  // Dispatch may run callbacks with the lock released; the socket they leave
  // behind may be another one.
  const uint32_t generation = socketGeneration;
  if (ZelPacket* whole = joinFragments(packet)) {
    if (session != nullptr)
      session->dispatch(whole);
    else
      dispatchPacket(whole);
  }
  if (socketStillOpen(generation)) startHeaderReceive();
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
  if (fragment != nullptr) {
    if (!more && packet->headerWord(0) != fragment->headerWord(0)) {
      std::printf("extensions-mismatch\n");
      ZelPacket::free(fragment);
      fragment = nullptr;
      ZelPacket::setError(packet, ExtensionMismatch);
      return packet;
    }
    const int64_t joined = static_cast<int64_t>(fragment->payloadLength) + packet->payloadLength;
    if (joined > MAX_JOINED_PAYLOAD) {
      ZelPacket::free(packet);
      close(LocalEvent::ConnectionClosed, "Fragmented packet larger than %d bytes", MAX_JOINED_PAYLOAD);
      return nullptr;
    }
    // Room grows geometrically, so a long chain is not copied per fragment.
    if (fragment->capacity() < joined) {
      const int64_t room = std::min<int64_t>(std::max<int64_t>(joined, 2 * int64_t{fragment->capacity()}), MAX_JOINED_PAYLOAD);
      fragment = ZelPacket::grow(fragment, static_cast<int>(room));
    }
    std::memcpy(fragment->payload() + fragment->payloadLength, packet->payload(), packet->payloadLength);
    fragment->payloadLength = static_cast<int32_t>(joined);
    ZelPacket::free(packet);
    packet = fragment;
  }
  if (more) {
    if (fragment == nullptr) {
      fragment = packet;
      packet->setMode(packet->mode() & ~ModeMoreFragments);
    }
    return nullptr;
  }
  fragment = nullptr;
  return packet;
}

}  // namespace zelkit::detail

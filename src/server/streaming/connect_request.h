#pragma once

#include <cstdint>

#include "server/media/connect_descriptor.h"
#include "zelkit/rtp_streamer_session.h"

namespace zelkit::detail {

// The streams of one connect request that the server may send, each as the
// factory sees it and as the reply echoes it.
struct ConnectRequest {
  static constexpr int MAX_STREAMS = 16;
  // What the server reads of a request's payload.
  static constexpr int READ_MAX = 1024;

  int count = 0;
  RtpStreamDescriptor descriptors[MAX_STREAMS] = {};
  // The wire descriptor: status 1, the key request bit cleared.
  uint8_t wire[MAX_STREAMS][CONNECT_DESCRIPTOR_SIZE] = {};
  // The client asked for a stream key (bit 3 of byte 3).
  bool wantsKey[MAX_STREAMS] = {};
};

// Reads a connect request's payload: 8-byte extension items (first byte
// 0xE0) are passed over, anything else is a 32-byte descriptor. Streams the
// client would send, and media other than video and audio, are not taken;
// at most 16 are. An item or descriptor cut short by the end of the bytes
// ends the walk. peerAddress (IPv4, network order) is the client's.
void readConnectRequest(const uint8_t* bytes, int length, uint32_t peerAddress, ConnectRequest& out);

}  // namespace zelkit::detail

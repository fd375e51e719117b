#pragma once

#include <cstdint>

#include "zelkit/export.h"

struct sockaddr;

namespace zelkit {

class ZelHeader;
class ZelInputStream;

// Callback of replies, messages, timers and scan results. Runs on the
// library's worker thread (or from System::dispatchCallback) with the
// library lock released.
typedef void (*ZelCallback)(void* context, ZelHeader& header, ZelInputStream& stream);

namespace detail {
struct ZelPacket;
class Core;
class Connection;
struct StreamAccess;
template <typename T>
struct ListLink;
}  // namespace detail

// The decoded 16-byte header of a request, reply or message.
class ZELKIT_API ZelHeader {
 public:
  ZelHeader();
  ZelHeader(unsigned long tag, int transactionId);
  ZelHeader(unsigned long tag, unsigned char mode, int transactionId, unsigned short clientId,
            unsigned long sessionId, unsigned short num);
  // Reads 16 header bytes from the stream; throws BadParameterException* when
  // the stream runs out.
  explicit ZelHeader(ZelInputStream& stream);
  ZelHeader(const ZelHeader& other) = default;
  ZelHeader& operator=(const ZelHeader& other);

  uint32_t tag;
  uint8_t mode;  // 0 request, 1 reply, 2 message, 3 error reply, 0xFF failed locally
  int32_t transactionId;
  uint16_t clientId;
  uint16_t num;
  uint32_t sessionId;
  int32_t errorCode;      // set on delivery of a failed request
  const char* sourceUrl;  // set on delivery: the URL text of the packet's connection

 private:
  void reset();
};

// Growable payload builder writing in network byte order straight into the
// packet that will be sent.
class ZELKIT_API ZelOutputStream {
 public:
  ZelOutputStream();
  ZelOutputStream(const void* data, int length);
  explicit ZelOutputStream(const wchar_t* text);
  explicit ZelOutputStream(const unsigned short* text);
  ZelOutputStream(const ZelOutputStream& other);
  // The unread bytes of an input stream, with its value table.
  explicit ZelOutputStream(const ZelInputStream& source);
  ~ZelOutputStream();
  // Deep copy into this stream.
  ZelOutputStream& operator=(const ZelOutputStream& other);

  void writeOctet(unsigned char value);
  void writeUShort(unsigned short value);
  void writeInt(int value);
  void writeULong(unsigned long value);
  void write(const void* data, int length);
  // Room for length bytes that the caller fills: the current write position.
  unsigned char* reserve(int length);
  void writeString(const char* text);
  // Wide texts travel as 16-bit units and a zero unit: a wchar_t character
  // beyond U+FFFF as a surrogate pair (beyond U+10FFFF as U+FFFD), unsigned
  // short units as they are, char bytes widened as signed values.
  void writeWString(const wchar_t* text);
  void writeWString(const unsigned short* text);
  void writeWString(const char* text);
  // A 32-bit host id: a dotted IPv4 address in place, or a value-table entry.
  void writeHostId(const char* host);
  void writeHostId(sockaddr* address);
  // Creates the value table now, so every later host id becomes an entry.
  void enforceValueTable();

  int size() const;
  const unsigned char* getPayload() const;
  const detail::ZelPacket* getPacket() const;
  // Hands the packet (payloadLength = size()) to the caller; the stream is empty afterwards.
  detail::ZelPacket* extractPacket();
  // Writes the TPKT word and the header in front of the payload; returns the
  // complete frame of 20 + size() bytes.
  const unsigned char* getZelPacket(const ZelHeader& header);

 private:
  ZelOutputStream(const void* data, int length, int room);
  void alloc(int room);
  void check(int length);
  void ensureBufferSize(int room);
  void realloc(int room);

  detail::ZelPacket* packet_;
  unsigned char* writePos_;
  unsigned char* end_;
};

// Read cursor over a received payload in network byte order; also the
// response of a synchronous request, whose reads wait for the reply.
class ZELKIT_API ZelInputStream {
 public:
  ZelInputStream();
  ZelInputStream(const void* data, int length);
  ~ZelInputStream();
  // The target leaves the armed requests and frees its packet, then reads a
  // copy of what the source holds (its packet with header, payload and value
  // table, or its caller's bytes) from the same position; it is idle
  // afterwards. A source still waiting for its reply holds nothing yet.
  ZelInputStream& operator=(const ZelInputStream& other);

  unsigned char readOctet();
  unsigned short readUShort();
  unsigned long readULong();
  int readInt();
  // Four bytes exactly as stored, no byte swap.
  unsigned long readULongN();
  void read(void* buffer, int length);
  const unsigned char* skip(int length);
  void readString(char* buffer, int size);
  // Up to and including a zero unit, at most max values (then without a
  // terminator). The wchar_t form joins a surrogate pair into one character
  // and reads half a pair as U+FFFD.
  void readWString(wchar_t* buffer, int max);
  void readWString(unsigned short* buffer, int max);
  char* readHostId(char* buffer, int size);
  int readHostId(sockaddr* address, int size);
  int available() const;
  int pos() const;
  // Replaces the payload with n fresh bytes for the caller to fill.
  unsigned char* allocBuffer(int length);
  // Blocks until an armed stream holds its response; throws the device's or
  // the local error.
  void wait();

 private:
  friend class ZelOutputStream;
  friend class detail::Core;
  friend class detail::Connection;
  friend struct detail::StreamAccess;
  template <typename T>
  friend struct detail::ListLink;

  ZelInputStream(ZelInputStream& other);
  int size() const;
  int setPayload(detail::ZelPacket* packet);
  void purge();
  void check(int length);

  detail::ZelPacket* packet_;
  const unsigned char* readPos_;
  const unsigned char* end_;
  ZelInputStream* next_;  // link in the engine's list of armed streams
  uint16_t state_;        // 0 idle, 1 armed, 2 response arrived
  detail::ZelPacket* request_;
};

}  // namespace zelkit

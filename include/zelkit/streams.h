#pragma once

/// \file
/// Headers, payload streams and the callback of replies and messages.

#include <cstdint>

#include "zelkit/export.h"

struct sockaddr;

namespace zelkit {

class ZelHeader;
class ZelInputStream;

/// Callback of replies, messages, timers and scan results.
///
/// Runs on the library's worker thread with the library lock released, or,
/// once System::registerCallbackNotificationHandler was called, on the
/// thread that calls System::dispatchCallback. The header and the stream are
/// valid only during the call.
/// \param context The context given with the callback.
/// \param header The header of the reply or message; ZelHeader::errorCode
///        holds the code of a failed request.
/// \param stream The payload.
typedef void (*ZelCallback)(void* context, ZelHeader& header, ZelInputStream& stream);

namespace detail {
struct ZelPacket;
class Core;
class Connection;
struct StreamAccess;
template <typename T>
struct ListLink;
}  // namespace detail

/// The decoded 16-byte header of a request, reply or message: a copyable
/// value that every callback receives.
class ZELKIT_API ZelHeader {
 public:
  /// Every field zero.
  ZelHeader();
  /// The command word and transaction id given, every other field zero.
  /// \param tag The command word.
  /// \param transactionId The transaction id (0 to 255).
  ZelHeader(unsigned long tag, int transactionId);
  /// The six wire fields given; #errorCode and #sourceUrl zero.
  /// \param tag The command word.
  /// \param mode 0 request, 1 reply, 2 message, 3 error reply.
  /// \param transactionId The transaction id (0 to 255).
  /// \param clientId The client id the device assigned.
  /// \param sessionId The session id.
  /// \param num The num field.
  ZelHeader(unsigned long tag, unsigned char mode, int transactionId, unsigned short clientId,
            unsigned long sessionId, unsigned short num);
  /// Reads the 16 header bytes of a frame from the stream; a mode byte other
  /// than 0xFF keeps its low four bits.
  /// \param stream The stream, positioned at a header.
  /// \throws BadParameterException* when the stream runs out within the 16 bytes.
  explicit ZelHeader(ZelInputStream& stream);
  /// Copies every field.
  /// \param other The header to copy.
  ZelHeader(const ZelHeader& other) = default;
  /// Copies every field.
  /// \param other The header to copy.
  /// \return This header.
  ZelHeader& operator=(const ZelHeader& other);

  uint32_t tag;  ///< The command word.
  uint8_t mode;  ///< 0 request, 1 reply, 2 message, 3 error reply, 0xFF failed locally.
  int32_t transactionId;  ///< The transaction id (0 to 255); in messages the sequence number.
  uint16_t clientId;      ///< The client id from the header.
  uint16_t num;           ///< The num field.
  uint32_t sessionId;     ///< The session id.
  int32_t errorCode;      ///< 0, or on delivery of a failed request its ErrorCodes value.
  const char* sourceUrl;  ///< On delivery: the URL text of the packet's connection; else null.

 private:
  void reset();
};

/// Growable payload builder writing in network byte order straight into the
/// packet that will be sent. Writes grow the stream by doubling; a stream is
/// used by one thread at a time.
class ZELKIT_API ZelOutputStream {
 public:
  /// An empty stream with room for 128 bytes.
  ZelOutputStream();
  /// A stream holding a copy of the bytes.
  /// \param data The bytes.
  /// \param length Their count.
  ZelOutputStream(const void* data, int length);
  /// A stream holding the text as by writeWString(const wchar_t*).
  /// \param text A zero-ended text.
  explicit ZelOutputStream(const wchar_t* text);
  /// A stream holding the text as by writeWString(const unsigned short*).
  /// \param text Zero-ended UTF-16 units.
  explicit ZelOutputStream(const unsigned short* text);
  /// A deep copy: the bytes and the value table.
  /// \param other The stream to copy.
  ZelOutputStream(const ZelOutputStream& other);
  /// The unread bytes of an input stream, with its value table, so that the
  /// host ids in them keep their meaning.
  /// \param source The stream to copy from; it is not moved.
  explicit ZelOutputStream(const ZelInputStream& source);
  /// Frees the packet.
  ~ZelOutputStream();
  /// Deep copy into this stream; what it held before is freed.
  /// \param other The stream to copy.
  /// \return This stream.
  ZelOutputStream& operator=(const ZelOutputStream& other);

  /// Writes one byte.
  /// \param value The byte.
  void writeOctet(unsigned char value);
  /// Writes 2 bytes in network order.
  /// \param value The value.
  void writeUShort(unsigned short value);
  /// Writes 4 bytes in network order.
  /// \param value The value.
  void writeInt(int value);
  /// Writes 4 bytes in network order.
  /// \param value The value, taken modulo 2^32.
  void writeULong(unsigned long value);
  /// Writes bytes as they are.
  /// \param data The bytes.
  /// \param length Their count.
  /// \throws BadParameterException* for a negative length.
  void write(const void* data, int length);
  /// Makes room for bytes that the caller fills.
  /// \param length The count of bytes.
  /// \return The current write position; the stream has moved past the bytes.
  /// \throws BadParameterException* for a negative length.
  unsigned char* reserve(int length);
  /// Writes 8-bit characters and a zero byte.
  /// \param text A zero-ended text.
  void writeString(const char* text);
  /// Writes a text as 16-bit units in network order and a zero unit; a
  /// character beyond U+FFFF becomes a surrogate pair (beyond U+10FFFF,
  /// U+FFFD).
  /// \param text A zero-ended text.
  void writeWString(const wchar_t* text);
  /// Writes 16-bit units in network order, as they are, and a zero unit.
  /// \param text Zero-ended UTF-16 units.
  void writeWString(const unsigned short* text);
  /// Writes each byte widened as a signed value (0xE9 becomes 0xFFE9) as a
  /// 16-bit unit in network order, and a zero unit.
  /// \param text A zero-ended text.
  void writeWString(const char* text);
  /// Writes a 32-bit host id: a dotted IPv4 address in place (when the
  /// payload has no value table yet), else an entry of the value table
  /// holding the name.
  /// \param host A dotted IPv4 address or a host name.
  void writeHostId(const char* host);
  /// Writes a 32-bit host id: an IPv4 address in place (when the payload
  /// has no value table yet), else, and for IPv6, a value-table entry.
  /// \param address An IPv4 or IPv6 socket address.
  /// \throws BadParameterException* for another address family.
  void writeHostId(sockaddr* address);
  /// Creates the value table now, so every later host id becomes an entry
  /// (for payloads that mix addresses and names).
  void enforceValueTable();

  /// \return The count of bytes written.
  int size() const;
  /// \return The first payload byte.
  const unsigned char* getPayload() const;
  /// \return The packet being built; the stream keeps it.
  const detail::ZelPacket* getPacket() const;
  /// Hands the packet over; the stream is empty afterwards.
  /// \return The packet, its payload length set to size(); the caller owns it.
  detail::ZelPacket* extractPacket();
  /// Writes the TPKT word and the header in front of the payload.
  /// \param header The header to write; its transaction id must lie in 0 to 255.
  /// \return The complete frame of 20 + size() bytes, valid while the stream is unchanged.
  const unsigned char* getZelPacket(const ZelHeader& header);

 private:
  ZelOutputStream(const void* data, int length, int room);
  void alloc(int room);
  void check(int length);
  // The position of the next length bytes, the stream moved past them;
  // defined where the writers are, so that it inlines into each of them.
  inline unsigned char* claim(int length);
  void ensureBufferSize(int room);
  void realloc(int room);

  detail::ZelPacket* packet_;
  unsigned char* writePos_;
  unsigned char* end_;
};

/// Read cursor over a received payload in network byte order; also the
/// response of a synchronous request (ZelClient::sendRequest), whose reads
/// wait for the reply.
///
/// Every read checks the bytes left first: a read past the end throws
/// BadParameterException* and moves nothing. A stream is used by one thread
/// at a time.
class ZELKIT_API ZelInputStream {
 public:
  /// An empty stream, ready to be given to a synchronous request.
  ZelInputStream();
  /// A stream reading the caller's bytes, which must outlive it.
  /// \param data The bytes.
  /// \param length Their count.
  ZelInputStream(const void* data, int length);
  /// Leaves the list of waiting requests when the stream is armed, then
  /// frees its packet.
  ~ZelInputStream();
  /// The target leaves the armed requests and frees its packet, then reads a
  /// copy of what the source holds (its packet with header, payload and value
  /// table, or its caller's bytes) from the same position; it is idle
  /// afterwards. A source still waiting for its reply holds nothing yet.
  /// \param other The stream to copy.
  /// \return This stream.
  ZelInputStream& operator=(const ZelInputStream& other);

  /// \return The next byte.
  /// \throws BadParameterException* past the end; the error of a synchronous request (see wait()).
  unsigned char readOctet();
  /// \return The next 2 bytes, from network order.
  /// \throws BadParameterException* past the end; the error of a synchronous request (see wait()).
  unsigned short readUShort();
  /// \return The next 4 bytes, from network order.
  /// \throws BadParameterException* past the end; the error of a synchronous request (see wait()).
  unsigned long readULong();
  /// \return The next 4 bytes, from network order, as a signed value.
  /// \throws BadParameterException* past the end; the error of a synchronous request (see wait()).
  int readInt();
  /// \return The next 4 bytes exactly as stored, no byte swap.
  /// \throws BadParameterException* past the end; the error of a synchronous request (see wait()).
  unsigned long readULongN();
  /// Reads bytes as they are.
  /// \param buffer Room for length bytes.
  /// \param length The count of bytes.
  /// \throws BadParameterException* past the end or for a negative length; the
  ///         error of a synchronous request (see wait()).
  void read(void* buffer, int length);
  /// Moves past bytes without copying them.
  /// \param length The count of bytes.
  /// \return The first of them, valid as long as the stream.
  /// \throws BadParameterException* past the end or for a negative length; the
  ///         error of a synchronous request (see wait()).
  const unsigned char* skip(int length);
  /// Reads an 8-bit text up to its zero byte. A text longer than the buffer
  /// is cut (zero-ended) and its rest stays to be read; a text without a
  /// zero byte ends at the end of the payload. With nothing left, the buffer
  /// gets an empty text.
  /// \param buffer Room for size bytes.
  /// \param size The buffer's size, at least 1.
  /// \throws BadParameterException* for a size below 1; the error of a synchronous request (see wait()).
  void readString(char* buffer, int size);
  /// Reads 16-bit units up to and including a zero unit, at most max values
  /// (then without a terminator). A surrogate pair becomes one character,
  /// half a pair U+FFFD.
  /// \param buffer Room for max characters.
  /// \param max At least 1.
  /// \throws BadParameterException* past the end or for a max below 1; the
  ///         error of a synchronous request (see wait()).
  void readWString(wchar_t* buffer, int max);
  /// Reads 16-bit units as they are, up to and including a zero unit, at
  /// most max units (then without a terminator).
  /// \param buffer Room for max units.
  /// \param max At least 1.
  /// \throws BadParameterException* past the end or for a max below 1; the
  ///         error of a synchronous request (see wait()).
  void readWString(unsigned short* buffer, int max);
  /// Reads a 32-bit host id as text: dotted IPv4 text, or the address or
  /// name of its value-table entry. The text is cut to size characters (then
  /// without a terminator).
  /// \param buffer Room for size characters.
  /// \param size The buffer's size.
  /// \return The buffer, or null for the host id 0 (the buffer then holds an
  ///         empty text).
  /// \throws BadParameterException* past the end, or for a missing or bad
  ///         value-table entry; the error of a synchronous request (see wait()).
  char* readHostId(char* buffer, int size);
  /// Reads a 32-bit host id into a socket address (IPv4, or the IPv4 or IPv6
  /// address of its value-table entry).
  /// \param address Room for a socket address.
  /// \param size Its size: at least that of a sockaddr_in6 (28 bytes).
  /// \return The bytes of the address taken from the payload (4 for IPv4 in
  ///         place), or -1 for a size too small (the host id is consumed).
  /// \throws BadParameterException* past the end, or for a missing or bad
  ///         value-table entry; the error of a synchronous request (see wait()).
  int readHostId(sockaddr* address, int size);
  /// \return The count of bytes left to read.
  int available() const;
  /// \return The count of bytes read from the payload; 0 for a stream over the caller's bytes.
  int pos() const;
  /// Replaces the payload with fresh bytes for the caller to fill; the
  /// stream then reads them from the start.
  /// \param length The count of bytes.
  /// \return The first of them.
  /// \throws BadParameterException* for a negative length.
  unsigned char* allocBuffer(int length);
  /// Blocks until an armed stream holds its response (the library lock is
  /// released meanwhile); returns at once for a stream that is not armed.
  /// Reading an armed stream waits the same way.
  /// \throws Exception* the device's error reply (its code), or the local
  ///         failure (ResponseTimeout, InvalidAddress, and the like).
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
  // The position of the next length bytes, the stream moved past them;
  // defined where the readers are, so that it inlines into each of them.
  inline const unsigned char* take(int length);

  detail::ZelPacket* packet_;
  const unsigned char* readPos_;
  const unsigned char* end_;
  ZelInputStream* next_;  // link in the engine's list of armed streams
  uint16_t state_;        // 0 idle, 1 armed, 2 response arrived
  detail::ZelPacket* request_;
};

}  // namespace zelkit

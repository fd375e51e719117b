#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <unordered_map>
#include <vector>

#include "core/connection/packet_queue.h"
#include "core/engine/core.h"
#include "core/engine/list.h"
#include "core/engine/reply_spin.h"
#include "core/wire/fragment_join.h"
#include "core/wire/packet.h"
#include "platform/socket.h"

namespace zelkit {
class ZelClient;
class ZelSession;
}  // namespace zelkit

namespace zelkit::detail {

struct FwUploadBuffer;
struct SslContext;

enum class ConnectionState : int32_t {
  Idle = 0,
  Resolving = 1,
  Deferred = 2,
  Reachable = 3,
  Connecting = 5,
  AwaitingApproval = 6,  // TLS up, the server certificate waits for approval
  TransportUp = 7,
  Registered = 8,
  Failed = 9,
};

// What the TLS engine's callbacks do during one engine call of a
// connection: hand over the bytes of the receive completion being handled,
// call the socket and wait (a server's HTTP handler), take no bytes, or
// (Gathering) copy the output the socket did not take for an overlapped
// send. Outside Blocking and Gathering, records go to the socket as they
// are sealed.
enum class SslIoPhase : uint8_t { Idle, Receiving, Blocking, Gathering };

// What the next receive completion of a connection carries.
enum class ReceivePhase : uint8_t {
  Header,    // the 4 TPKT bytes (gathered until all four are there)
  Body,      // the rest of the frame, read straight into its packet
  Http,      // an accepted HTTP connection's request text
  Tls,       // raw TLS records
  Datagram,  // the datagram socket of the local pseudo connection
};

// Command words the engine itself sends or recognises.
namespace ZelTag {
constexpr uint32_t RequestChallenge = 0xFF050C30;
constexpr uint32_t Register = 0xFF000C31;
constexpr uint32_t KeepAliveMessage = 0xFF030030;
constexpr uint32_t KeepAliveAnswer = 0x002F0830;
constexpr uint32_t LiveCheck = 0x002F1030;
}  // namespace ZelTag

constexpr uint16_t DEFAULT_ZEL_PORT = 1756;
constexpr int SEND_QUEUE_LIMIT = 1200;
// An accepted connection stops reading requests while its unsent replies
// hold this much memory, or this many packets (so that its own requests
// never fill the queue to its limit), and reads again once both are down
// to half: the peer's TCP window then holds the rest of its requests.
constexpr int64_t UNSENT_REPLY_BYTES_MAX = 4 * 1024 * 1024;
constexpr int UNSENT_REPLY_PACKETS_MAX = SEND_QUEUE_LIMIT / 2;
constexpr int TRANSACTION_IDS = 256;
// What submitting a request returns while it waits for a transaction id.
constexpr int WAITING_FOR_TRANSACTION_ID = -1;
constexpr int SEND_GATHER_MAX = platform::MaxSendBuffers;
constexpr int MAX_MESSAGE_IDS = 32;
constexpr uint16_t DEFAULT_MESSAGE_ID = 0xFF03;
constexpr uint16_t ALL_MESSAGES_ID = 0xFFFF;
constexpr int DATAGRAM_RECEIVE_SIZE = 1500;
constexpr int DATAGRAM_PACKET_CAPACITY = 65536;
// A joined fragmented packet larger than this is a framing error.
constexpr int32_t MAX_JOINED_PAYLOAD = 64 * 1024 * 1024;
// The same before an accepted connection has logged in: its own traffic is
// a challenge and a registration, a few hundred bytes.
constexpr int32_t MAX_JOINED_PAYLOAD_BEFORE_LOGIN = 64 * 1024;
constexpr uint32_t DNS_CACHE_MS = 600000;
constexpr int32_t DEFAULT_LIVE_CHECK_MS = 5000;
constexpr int HTTP_BUFFER_CAPACITY = 1024;
// A request head grows the buffer up to this before it is refused.
constexpr int HTTP_HEAD_MAX = 8192;
// Bodies handed over whole (all but the streamed ones) are refused above this.
constexpr int64_t HTTP_BODY_MAX = 16 * 1024 * 1024;
constexpr int HTTP_STREAM_BUFFER = 65536;
constexpr int INBOX_CAPACITY = 16384;
constexpr int32_t RAW_PACKET_REMAINING_MS = 10000;
constexpr int USER_MAX = 19;
constexpr int PASSWORD_MAX = 43;
// Pacing: connects beyond this many pending ones are deferred.
constexpr int BUSY_PENDING_CONNECTS = 6;
constexpr int MAX_ECHO_ROUNDS = 3;

// One message-callback registration of a connection.
struct CallbackEntry {
  CallbackEntry* next = nullptr;
  int32_t count = 0;  // negative: all messages
  uint16_t ids[MAX_MESSAGE_IDS] = {};
  ZelCallback callback = nullptr;
  void* context = nullptr;
  bool registered = false;  // the one primary entry, which receives every message

  // Stores min(count, 32) ids, the high 16 bits of the tags given.
  void set(ZelCallback function, void* entryContext, const uint32_t* tags, int tagCount);
  bool matches(uint32_t tag) const;
  bool receives(uint32_t tag) const { return registered || matches(tag); }
};

// The transaction ids of one command word on a connection: the request
// that holds each id, and the requests waiting for one to free, oldest
// first (each the first piece of its chain, the rest linked behind it).
struct CommandIds {
  ZelPacket* holders[TRANSACTION_IDS] = {};
  int inUse = 0;
  std::deque<ZelPacket*> waiting;
};

// One TCP connection: to a device URL, shared by every client naming it,
// or one accepted socket of a server. Every field is guarded by the
// library lock.
class Connection {
 public:
  Connection(const char* url, uint32_t requestCounterStart, platform::Socket acceptedSocket, bool allocateHttpBuffer,
             ZelSession* session);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Lifecycle. parseUrl returns -1 for an IPv6 literal that does not convert.
  int parseUrl(const char* text);
  void close(uint32_t eventCode, const char* reasonFormat, uint32_t argument);
  static int getStatistics(int kind, ZelClient* client);
  bool hasLog() const { return logFile != nullptr; }
  bool hasCallbacks() const { return !callbacks.isEmpty(); }
  uint32_t nextRequestCounter() { return ++requestCounter; }
  bool isIpv4() const { return address.sin6_family == AF_INET; }
  uint32_t ipv4Address() const;  // network order
  uint16_t port() const;          // host order

  // Connecting.
  void connect();
  void startResolve();
  static void resolverThreadEntry(void* unused);
  void onConnected();
  void sendTunnelRequest();
  char* basicCredentials(char* out, int outSize) const;

  // Registration and login.
  void startRegistration();
  void registerAtDevice(bool withCredentials);
  static void onRegisterReply(void* connection, ZelHeader& header, ZelInputStream& stream);
  void answerChallenge(ZelHeader& header, ZelInputStream& stream);

  // Traffic. A request is queued with a transaction id no other request of
  // its command word on this connection holds, and returns it; while all are
  // held it waits unsent for the first to free, and returns
  // WAITING_FOR_TRANSACTION_ID. Its id frees when it leaves the connection.
  int queueRequest(PacketChain& packets, bool urgent);
  bool holdsTransactionId(const ZelPacket* packet);
  void releaseTransactionId(ZelPacket* packet);
  // Waiting requests whose time ran out, taken off the connection: their
  // first pieces (the rest freed).
  void takeExpiredWaitingRequests(int32_t elapsedMs, std::vector<ZelPacket*>& expired);
  void queuePackets(PacketChain& packets, bool urgent);
  void sendQueued();
  // Sends from the queue unless a send is outstanding or the connection
  // cannot send yet. On the worker the send waits until the completion it
  // handles is done (Core::deferSend), so that requests made meanwhile leave
  // together.
  void sendIfIdle();
  // The worker's deferred send.
  void sendDeferredNow();
  // An application thread's send of what it queued, called once it has let
  // go of the lock: the write itself runs without the lock, so that the
  // worker, woken by the reply, does not wait for it.
  void sendQueuedUnlocked();
  // Called with the lock held before the socket is closed.
  void waitForUnlockedWrite() const;
  // Bytes outside the Zel framing (HTTP answers), behind what is queued;
  // -1 without a socket or with the queue full.
  int sendRaw(const char* data, int length, int unused);
  // The overlapped send of a gather: 0 when under way, else the error.
  uint32_t startOverlappedSend(const platform::IoBuffer* buffers, int count);
  void failSend(uint32_t error);
  void startReceive(void* buffer, uint32_t length);
  void startHeaderReceive();
  // Reading of an accepted connection stops between two frames while its
  // unsent replies (queued, or in the send under way) hold too much
  // (pauseReadingIfFull); once they have drained, a completion posted on
  // the receive's record brings the worker back to resumeReading, which
  // goes on where reading stopped.
  int64_t unsentBytes() const { return sendQueue.bytes() + sendGatherBytes; }
  bool pauseReadingIfFull();
  void resumeReadingIfDrained();
  void resumeReading();
  void startDatagramReceive();
  // True when a completion is the one of the receive (or the send or
  // connect) outstanding on the current socket, which it then ends; false
  // for a completion of a socket closed since, which must reach nothing.
  bool claimCompletion(uint32_t mode, uint32_t ticket);
  void onReceived(uint32_t bytes);
  ZelPacket* takePendingRequest(ZelPacket* reply);
  ZelPacket* untrackedRequestFor(const ZelPacket* reply) const;
  ZelPacket* joinFragments(ZelPacket* packet);
  void dispatchPacket(ZelPacket* packet);
  // Frees a packet taken off the pending list, or keeps it until the send
  // that still reads it has completed.
  void releaseSentPacket(ZelPacket* packet);
  static bool isBeingSent(const ZelPacket* packet) { return packet->beingSent; }
  static bool isRawPacket(const ZelPacket* packet) { return packet->tpktWord() == 0; }
  // Adds a packet to the gather of the next send.
  void addToGather(ZelPacket* packet);
  bool gatherFull() const { return sendGather.size() >= static_cast<std::size_t>(SEND_GATHER_MAX); }
  // The send is over (completed, failed or its socket closed): the gather's
  // packets are no longer read.
  void endGather();
  // The gather has been sent (or its send has failed): frees what needs no
  // answer, and what was retired meanwhile.
  void finishSend();

  // Message callbacks.
  void registerMessageCallback(ZelCallback function, void* context, const uint32_t* tags, int count, int action);
  void removeCallbackEntries(ZelCallback function, void* context);
  // Removes the entries of (function, context) and everything of this
  // connection that would still call into the context: see
  // discardCompletionsOf and Core::discardDeliveriesOf. The client's and
  // the process-wide unregistration call it (for every connection).
  void unregisterCallback(ZelCallback function, void* context);
  // Queued requests of the context, and pending ones of the context (of any
  // context when it is null), lose their callback, whatever its function;
  // synchronous requests and the login keep theirs.
  void discardCompletionsOf(void* context);
  void sendMessageIdUpdate();

  // Packet log.
  void openLog();
  void logText(const char* category, const char* text, int length, int maxLength);
  void logPacketData(const char* category, const void* header, int length, ZelPacket* packet);
  void logPacket(const char* category, ZelPacket* packet);

  // TLS layer. startSsl: 0, or -1 when no context could be made.
  int startSsl(bool isServer);
  void onSslReceived(uint32_t count);
  // Hands what the receive completion holds to the engine and goes on with
  // the frames it yields; called again when paused reading resumes.
  void continueSslReceive();
  void sendQueuedSsl();
  void releaseSsl();
  // Blocking TLS reads and writes for a server's HTTP handler (useSyncIo):
  // the count, or < 0; -1 on a connection not in that mode.
  int sslReadSync(void* buffer, int length, int flags);
  int sslWriteSync(const void* data, int length, int flags);
  // The engine's callbacks; user is the connection.
  static int sslRecvCallback(char* buffer, int length, int flags, void* user);
  static int sslSendCallback(char* bytes, int length, int flags, void* user);
  // After the first handshake of a client connection: whether its server
  // certificate is trusted, or waits for the application's approval.
  void decideOnCertificate();

  // Firmware upload: 0 when its thread started or for an abort request
  // (null file), -1 when one runs already or the file cannot be read.
  int startFirmwareUpload(const char* file);
  static void firmwareUploadThread(void* connection);

  // Server-side HTTP of accepted connections. parseHttp: 0 read more; 1
  // switched to packet framing; -1 no further reads.
  void startHttpReceive();
  void onHttpReceived(uint32_t bytes);
  int parseHttp(const char* data, int length);
  // 0: head incomplete or body still missing; -1: go on; -2: refused.
  int parseHttpPost(const char* data, int length);

  int32_t sslWantLength = 0;  // raw bytes the engine asked for and did not get
  int32_t sslTakenCount = 0;  // bytes of the packet at the head of the queue sslWrite took
  // Where in the engine's record buffer the outstanding receive puts its bytes.
  int32_t sslReceiveOffset = 0;
  // The record being sealed is not the last of this write: the socket may
  // hold its last partial segment for the next.
  bool sslMoreFollows = false;
  bool sslHandshakeDone = false;      // the first handshake of this TCP connection was handled
  Connection* next = nullptr;
  char* url = nullptr;
  char user[USER_MAX + 1] = {};
  char password[PASSWORD_MAX + 1] = {};
  sockaddr_in6 address{};  // IPv4 (sockaddr_in layout) or IPv6; family 0: a name to resolve
  char* host = nullptr;
  platform::Socket socketHandle = 0;
  int32_t clientId = 0;
  bool holdsClientId = false;  // an accepted connection's, until its close
  uint32_t requestCounter = 0;
  ConnectionState state = ConnectionState::Idle;
  PacketQueue sendQueue;
  PendingList pending;
  int32_t queuedCount = 0;  // packets in sendQueue and waiting for a transaction id
  std::unordered_map<uint32_t, CommandIds> commandIds;
  // The ids of the command word used last: most traffic repeats one or two.
  uint32_t lastCommandTag = 0;
  CommandIds* lastCommandIds = nullptr;
  // The id holder of the request whose first pieces were taken for sending
  // while the rest of it is still queued (see releaseTransactionId).
  ZelPacket* partlySent = nullptr;
  List<CallbackEntry> callbacks;
  int32_t messageIdCount = 1;
  uint16_t messageIds[MAX_MESSAGE_IDS] = {DEFAULT_MESSAGE_ID};
  ZelPacket* receivePacket = nullptr;
  FragmentJoin fragments;
  int32_t receiveRemaining = 0;
  bool tunnelPending = false;
  bool httpScheme = false;  // "http://" or "https://": the tunnel request goes first
  bool tls = false;         // "https://"
  bool useSyncIo = false;
  bool keepAlive = false;
  ZelPacket* httpBuffer = nullptr;
  int32_t httpHeaderLength = 0;
  int32_t httpContentLength = 0;
  int32_t httpBodyConsumed = 0;
  int32_t httpState = 0;
  // Bytes at the buffer's front that the running HTTP handler reads; recv
  // hands out only what lies behind them.
  int32_t httpHandedOut = 0;
  SslContext* ssl = nullptr;
  int32_t sslHeld = 0;      // bytes of the receive completion being handled
  int32_t sslHandedOut = 0;  // of those, given to the engine
  SslIoPhase sslIoPhase = SslIoPhase::Idle;
  // The TPKT word of the next frame inside TLS, as far as it has come.
  uint8_t tlsFrameHead[TPKT_HEADER_SIZE] = {};
  int32_t tlsFrameHeadLength = 0;
  std::FILE* logFile = nullptr;
  int32_t lastMessageSeq = -1;
  IoOperation receiveOp = {};
  IoOperation sendOp = {};
  uint32_t tpktWord = 0;  // 51 marks the datagram socket of the local pseudo connection
  bool sendInProgress = false;
  // An application thread writes the gather without the lock (sendQueuedUnlocked).
  std::atomic<bool> writingUnlocked{false};
  // Whether synchronous callers spin for their replies.
  ReplySpin replySpin;
  // The wake descriptor of the caller that receives its own reply on this
  // connection (Core::receiveOwnReply), -1 while none does.
  int ownReplyWakeFd = -1;
  bool sendDeferred = false;  // listed for the worker's send after the completion it handles
  uint8_t privilegeLevel = 0;
  ZelSession* session = nullptr;
  // The login challenge given to this accepted connection; empty until it asks.
  char loginChallenge[16 + 1] = {};
  // The firmware upload's local event, and the one housekeeping posted last.
  uint32_t pendingEventCode = 0;
  uint32_t postedEventCode = 0;
  bool uploadRunning = false;  // its thread has not ended yet
  FwUploadBuffer* uploadBuffer = nullptr;  // the file, and its name as given
  // Set by an abort request; read by the upload thread without the lock.
  std::atomic<bool> uploadAbort{false};
  int32_t connectAttempts = 0;
  int32_t deferCountdownMs = 0;
  int32_t connectRank = 0;
  bool deferIfBusy = false;
  uint32_t lastActivityTick = 0;
  uint32_t addressExpiryTick = 0;
  int32_t liveCheckIntervalMs = DEFAULT_LIVE_CHECK_MS;
  int32_t refCount = 1;

  ReceivePhase receivePhase = ReceivePhase::Header;
  // Frames are read ahead into this buffer, many per receive; a frame that
  // does not fit is finished straight in its packet (phase Body).
  uint8_t* inbox = nullptr;
  int inboxLength = 0;
  // Changes whenever the socket is closed, so a completion handler that
  // released the lock can tell that its socket is gone.
  uint32_t socketGeneration = 0;
  // Every overlapped start gets a ticket of its own; these are the tickets
  // of the one receive and the one send (or connect) outstanding on the
  // current socket, 0 for none. A close clears them: what its socket still
  // completes is dropped.
  uint32_t lastTicket = 0;
  uint32_t receiveTicket = 0;
  uint32_t sendTicket = 0;
  uint32_t receiveLength = 0;  // room of the outstanding receive
  // No receive is outstanding: the unsent replies hold too much. (A
  // receive ticket set meanwhile is the posted resume.)
  bool readingPaused = false;
  // The packets the outstanding send reads from (each marked beingSent;
  // nothing frees them before the send completes), and the buffers it was
  // given. Both grow to the largest gather the connection has sent.
  std::vector<ZelPacket*> sendGather;
  int64_t sendGatherBytes = 0;  // the memory of the gather's packets
  std::vector<platform::IoBuffer> sendBuffers;
  List<ZelPacket> retiredWhileSending;

 private:
  bool readyToSend() const;
  // The queue limit refuses everything but the login's (urgent) packets:
  // the requests it holds may all be waiting for that login.
  bool refusedByQueueLimit(bool urgent) const { return !urgent && queuedCount > SEND_QUEUE_LIMIT; }
  bool socketStillOpen(uint32_t generation) const { return generation == socketGeneration && socketHandle > 0; }
  uint32_t stampNextTicket(IoOperation& operation);
  uint8_t takeTransactionId(CommandIds& ids, ZelPacket* request);
  // The ids of a command word; made on first use when create is set.
  CommandIds* idsOf(uint32_t tag, bool create);
  ZelPacket* transactionIdHolder(const ZelPacket* piece);
  ZelPacket* lastQueuedPieceOf(const ZelPacket* request);
  void dropUnsentRest();
  // A piece of a request has been taken for sending: notes whether the
  // rest of its request is still queued, and starts the time of the last
  // piece that holds the id of a request that ended mid-send.
  void notePieceTaken(ZelPacket* piece);
  void linkIntoSendQueue(PacketChain& packets, bool urgent);
  void keepUntilSent(PacketChain& packets);
  // Completes a chain the full queue does not take.
  void dropChain(PacketChain& packets);
  // Moves what may be sent now from the queue into the gather; the count.
  int takeGather();
  // True when the whole gather was written at once.
  bool writeGather();
  void fillSendBuffers();
  // After a write of the gather that took sent bytes (negative: none): true
  // when all of it went; else the rest goes out as an overlapped send.
  bool finishWrite(int sent);
  void parseInbox();
  bool holdsTooMuchUnsent() const;
  bool drainedEnoughToRead() const;
  ZelPacket* newReceivePacket(const uint8_t* tpkt);
  bool completeFrame(ZelPacket* packet);
  // Closes for a frame that cannot be read, after the replies to the frames
  // before it have gone out.
  void closeOnBadFrame(const char* reasonFormat, uint32_t argument);
  // What a fragment chain may join to on this connection now.
  int32_t joinedPayloadLimit() const;
  void onDatagram(uint32_t bytes);
  void deliverMessage(ZelPacket* packet);
  void checkMessageSequence(uint8_t sequence);
  void rebuildMessageIds();
  bool failRegistration();
  char* httpData() const;
  int httpSize() const;
  void growHttpBuffer(int size);
  int awaitHttpHead(int length);
  int runHttpHandler(const char* data, int length);
  int switchToPackets(const char* rest, int restLength);
  // Parses what the HTTP buffer holds: 0 read more, 1 switched to packet
  // framing, -1 no further reads (a full buffer is refused).
  int parseHttpBuffer();
  void startSslReceive();
  // The frames and HTTP text inside TLS; 0 when the engine wants more raw
  // bytes, TLS_STOP when nothing more is read, TLS_PAUSED when reading
  // waits for the replies to drain, or the engine's error.
  int deliverTlsFrames();
  int feedHttpFromTls();
  // Plaintext bytes: those left behind a tunnel head first, then the engine's.
  int readPlaintext(uint8_t* out, int length);
  bool fallBackToMediaTunnel(int error);
  void onSslHandshakeComplete();
  // The records gathered, and output the engine kept because the socket
  // did not take it (copied: the engine reuses its buffer), go out as one
  // overlapped send; nothing while a send is out.
  void pushSslOutput(const char* failureReason);
  // The write callback's two ways: what the socket takes now, or a copy in
  // the gather (0 when it is full).
  int sendSslBytesNow(const char* bytes, int length);
  int gatherSslBytes(const char* bytes, int length);
  // The last flight of the first handshake, which the records queued behind
  // it join in one write.
  bool holdsLastSslFlight() const;
  bool writeQueuedPacketsSsl();
  // Queues bytes sent as they are, outside the Zel framing (a raw packet:
  // TPKT word and tag 0, the bytes as its payload); urgent ones go first.
  void queueRawPacket(const char* data, int length, bool urgent);
  int refuseHttpRequest();
  void endHttpSession();
  void sendRegistrationRequest(uint32_t tag, ZelOutputStream& payload, bool withCallback);
  // Frees the login requests still queued or pending: a close ends the
  // login of its socket.
  void dropLoginRequests();
};

// Connections in state Connecting, process-wide.
extern int32_t pendingConnects;

// "%02x" of the MD5 of text: 32 lower-case hex characters and a zero.
void md5Hex(const char* text, char* out33);
void makeAuthDigest(const char* user, const char* password, const char* challenge, char* out33);

}  // namespace zelkit::detail

#include <algorithm>
#include <cstring>
#include <exception>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "core/engine/server_seam.h"
#include "core/http/http_head.h"
#include "core/http/text_range.h"
#include "zelkit/server.h"

namespace zelkit::detail {

namespace {

constexpr char TUNNEL_REQUEST[] = "GET /zel_tunnel ";
constexpr char MEDIA_TUNNEL_REQUEST[] = "GET /media_tunnel";
constexpr int TUNNEL_HEAD_MIN = 20;
constexpr int MEDIA_TUNNEL_REQUEST_MIN = 45;
constexpr char CONTINUE_ANSWER[] = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr char BAD_REQUEST_ANSWER[] = "400 Bad request";
constexpr int32_t POST_LIVE_CHECK_MIN_MS = 500;
constexpr int32_t POST_LIVE_CHECK_MS = 60000;
constexpr uint16_t TRANSFER_MODE_BITS = 0x000C;
// parseHttpPost: the request was refused and the connection ends.
constexpr int POST_REFUSED = -2;

// The text a status of ZelSession::onHttpHeader is answered with; null for
// nothing.
const char* statusAnswer(int status) {
  switch (status) {
    case 200:
      return "200 OK";
    case 400:
      return BAD_REQUEST_ANSWER;
    case 403:
      return "403 Forbidden";
    case 404:
      return "404 Not found";
    case 500:
      return "500 Internal Error";
    case 501:
      return "501 Not implemented";
    default:
      return nullptr;
  }
}

}  // namespace

char* Connection::httpData() const { return reinterpret_cast<char*>(httpBuffer->wire); }

int Connection::httpSize() const { return httpBuffer->capacity() + FRAME_HEADER_SIZE; }

void Connection::growHttpBuffer(int size) {
  if (size > httpSize()) httpBuffer = ZelPacket::grow(httpBuffer, size - FRAME_HEADER_SIZE);
}

void Connection::startHttpReceive() {
  receivePhase = ReceivePhase::Http;
  httpBuffer->payloadLength = 0;
  httpState = 0;
  httpHeaderLength = 0;
  httpContentLength = 0;
  httpBodyConsumed = 0;
  httpHandedOut = 0;
  startReceive(httpData(), static_cast<uint32_t>(httpSize()));
}

void Connection::onHttpReceived(uint32_t bytes) {
  httpBuffer->payloadLength += static_cast<int32_t>(bytes);
  lastActivityTick = tickCount();
  const int result = parseHttpBuffer();
  if (result == 1) {
    parseInbox();  // the frames behind the tunnel head, then the next read
    return;
  }
  if (result != 0 || socketHandle <= 0) return;
  startReceive(httpData() + httpBuffer->payloadLength,
               static_cast<uint32_t>(httpSize() - httpBuffer->payloadLength));
}

int Connection::parseHttpBuffer() {
  int result;
  for (;;) {
    const int held = httpBuffer->payloadLength;
    result = parseHttp(httpData(), held);
    // A request was handled and bytes stayed behind it: they may already
    // hold the next one.
    if (result != 0 || httpBuffer->payloadLength == 0 || httpBuffer->payloadLength >= held) break;
  }
  if (result == 0 && socketHandle > 0 && httpSize() - httpBuffer->payloadLength <= 0) return refuseHttpRequest();
  return result;
}

void Connection::endHttpSession() {
  // The session's own handle goes; the connection ends once the
  // operations still under way have completed.
  if (session != nullptr) session->self_.reset();
}

int Connection::refuseHttpRequest() {
  sendRaw(BAD_REQUEST_ANSWER, 0, 0);
  endHttpSession();
  return -1;
}

int Connection::awaitHttpHead(int length) {
  if (length < httpSize()) return 0;
  if (httpSize() >= HTTP_HEAD_MAX) return refuseHttpRequest();
  growHttpBuffer(std::min(2 * httpSize(), HTTP_HEAD_MAX));
  return 0;
}

int Connection::parseHttp(const char* data, int length) {
  if (session == nullptr) return -1;
  const TextRange text{data, data + length};
  const bool post = (httpState == 0 || httpState == 2) && text.startsWith("POST");
  // Nothing is taken for a request before its head is complete.
  if ((httpState == 0 || post) && findHeadEnd(data, length, 4) == 0) return awaitHttpHead(length);

  if (post) {
    const int result = parseHttpPost(data, length);
    if (result == 0) return 0;
    if (result == POST_REFUSED) return -1;
  }

  if (httpState == 0 && text.startsWith(TUNNEL_REQUEST)) {
    const int headEnd = findHeadEnd(data, length, TUNNEL_HEAD_MIN);
    if (hasLog()) logText("http", data, headEnd - 4, 0);
    HttpHead head;
    parseHttpHead(data, headEnd, head);
    session->onHttpHeader(head.lineCount, head.lines, 0);
    return switchToPackets(data + headEnd, length - headEnd);
  }

  if (httpState == 0 && length >= MEDIA_TUNNEL_REQUEST_MIN && text.startsWith(MEDIA_TUNNEL_REQUEST)) {
    if (hasLog()) {
      const char* blank = std::find(data + sizeof MEDIA_TUNNEL_REQUEST - 1, data + length, ' ');
      logText("http", data, static_cast<int>(blank - data), 0);
    }
    // The bytes behind the head go to the stream with the socket.
    const int result = RtpStreamerSession::attachMediaTunnel(socketHandle, &ssl, data, length);
    if (result == 0) {
      socketHandle = 0;  // the media stream owns the socket now
      endHttpSession();
      return -1;
    }
    core().log(this, "mdia", "setMediaTunnel failed %d", result);
  }

  if (length > 4 && hasLog()) logText("http", data, length - 4, 0);

  const bool streams = (session->flags_ & ZelSession::StreamedBody) != 0;
  if (httpState != 0) {
    // Wait for the whole body, or when it streams, for some of it. A body
    // of length 0 is complete with its head.
    const int64_t whole = static_cast<int64_t>(httpHeaderLength) + httpContentLength - httpBodyConsumed;
    if (length < whole && (!streams || length <= httpHeaderLength)) return 0;
  }
  return runHttpHandler(data, length);
}

int Connection::runHttpHandler(const char* data, int length) {
  useSyncIo = true;
  const ZelRequestHandler handler = serverSeam().httpHandler(tls);
  if (handler == nullptr || !session->self_) {
    endHttpSession();
    return -1;
  }
  const ZelSessionRef held = session->self_;
  const int transferMode = session->flags_ & TRANSFER_MODE_BITS;
  // One request per connection: the session ends with the handler's handle.
  if (transferMode == 0) session->self_.reset();

  // The handler gets this request's bytes and no more: what follows the
  // body of a POST belongs to the next request.
  int handedOut = length;
  if (httpState != 0)
    handedOut = static_cast<int>(
        std::min<int64_t>(length, static_cast<int64_t>(httpHeaderLength) + httpContentLength - httpBodyConsumed));
  ZelHeader header;
  header.sourceUrl = url;
  ZelInputStream request(data, handedOut);
  request.skip(httpHeaderLength);

  httpHandedOut = handedOut;
  const int depth = releaseGlobalCompletely();
  try {
    handler(held, header, request);
  } catch (Exception* error) {
    core().log(this, "http", "HTTP handler threw %s", error->what());
  } catch (const std::exception& error) {
    core().log(this, "http", "HTTP handler threw %s", error.what());
  } catch (...) {
    core().log(this, "http", "HTTP handler threw");
  }
  reacquireGlobal(depth);
  httpHandedOut = 0;

  if (transferMode == 0) return -1;
  // recv may have taken some of the bytes behind the request meanwhile.
  const int rest = httpBuffer->payloadLength - handedOut;
  std::memmove(httpData(), httpData() + handedOut, static_cast<std::size_t>(rest));
  httpBuffer->payloadLength = rest;
  if (transferMode & ZelSession::StreamedBody) {
    httpBodyConsumed += handedOut - httpHeaderLength;
    lastActivityTick = tickCount();
  }
  httpHeaderLength = 0;
  if ((transferMode & ZelSession::BlockRequests) || httpBodyConsumed == httpContentLength) {
    httpState = 0;
    httpBodyConsumed = 0;
  }
  return 0;
}

int Connection::parseHttpPost(const char* data, int length) {
  HttpHead head;
  parseHttpHead(data, length, head);
  // The head is complete: a line ending it without CR is malformed.
  if (head.headerLength == 0) {
    refuseHttpRequest();
    return POST_REFUSED;
  }
  // A streamed body is never held whole, so any length of 31 bits will do.
  if (head.hasContentLength && (head.contentLength < 0 || head.contentLength > INT32_MAX)) {
    refuseHttpRequest();
    return POST_REFUSED;
  }
  httpContentLength = head.hasContentLength ? static_cast<int32_t>(head.contentLength) : 0;
  if (head.keepAlive) keepAlive = true;
  httpHeaderLength = head.headerLength;

  const int body = length - httpHeaderLength;
  const int status = session->onHttpHeader(head.lineCount, head.lines, httpContentLength);
  if (status == -1) {
    httpHeaderLength = 0;  // the handler gets the whole request
    return -1;
  }
  // The session may have chosen streaming for this request just now; a body
  // held whole has a bound.
  const bool streams = (session->flags_ & ZelSession::StreamedBody) != 0;
  if (!streams && httpContentLength > HTTP_BODY_MAX) {
    refuseHttpRequest();
    return POST_REFUSED;
  }
  httpBodyConsumed = 0;
  liveCheckIntervalMs =
      !keepAlive && liveCheckIntervalMs < POST_LIVE_CHECK_MIN_MS ? POST_LIVE_CHECK_MIN_MS : POST_LIVE_CHECK_MS;
  lastActivityTick = tickCount();
  const char* answer = head.expectation && status <= 100 && body < httpContentLength ? CONTINUE_ANSWER
                                                                                       : statusAnswer(status);
  if (answer != nullptr) sendRaw(answer, 0, 0);
  httpState = 1;

  if (head.expectation && status >= 400) {
    // Refused: whatever body follows is read without its head.
    httpState = 2;
    std::memmove(httpData(), httpData() + httpHeaderLength, static_cast<std::size_t>(body));
    httpBuffer->payloadLength -= httpHeaderLength;
    httpHeaderLength = 0;
    useSyncIo = true;
  } else if (body >= httpContentLength) {
    return -1;
  }
  const int64_t whole = static_cast<int64_t>(httpHeaderLength) + httpContentLength;
  growHttpBuffer(static_cast<int>(streams ? std::min<int64_t>(whole, HTTP_STREAM_BUFFER) : whole));
  return 0;
}

int Connection::switchToPackets(const char* rest, int restLength) {
  // The frames behind the head go to the packet reassembly, whatever
  // their count.
  if (restLength > INBOX_CAPACITY) return refuseHttpRequest();
  if (inbox == nullptr) inbox = new uint8_t[INBOX_CAPACITY];
  std::memcpy(inbox, rest, static_cast<std::size_t>(restLength));
  inboxLength = restLength;
  ZelPacket::free(httpBuffer);
  httpBuffer = nullptr;
  receivePhase = ReceivePhase::Header;
  return 1;
}

}  // namespace zelkit::detail

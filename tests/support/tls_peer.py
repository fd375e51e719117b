#!/usr/bin/env python3
"""Zel peers behind TLS 1.0 (AES128-SHA), written with Python's ssl module
and their own framing, so that the library's TLS layer meets an outside
implementation of TLS and of the Zel wire format.

  tls_peer.py device --cert C --key K [--port P] [--user U --password PW] [--plain]
                    [--paced [--trickle]] [--rcvbuf N] [--stall-after N]
      A device: serves connections one after the other until killed; with
      --plain the same device without TLS (zelp://).
      Prints "LISTENING <port>", then per connection "HANDSHAKE reused=<0|1>",
      "TUNNEL <request line> <base64 credentials>" when a tunnel head comes,
      "LOGIN <user> ok|refused", "REQUEST <tag> <payload bytes>" and "CLOSED".
      --paced runs TLS over memory buffers, so that its records reach the
      socket in pieces of its choice: with --trickle every write in pieces
      of 1 to 97 bytes; TAG_SPLIT replies cut where the request says.
      --rcvbuf sets the receive buffer of its sockets. --stall-after N stops
      reading once N bytes of the first request over TLS are in, prints
      "STALLED", pushes three messages and reads on after a line on stdin.
  tls_peer.py login --port P --user U --password PW
      A client of the library's server: TLS, the tunnel, the challenge login,
      then two echo requests written at once. Prints "LEVEL <n>",
      "CLIENT <id>", "REPLY <tag> <payload hex>" and exits 0, or 1 on failure.
  tls_peer.py send --port P --bytes HEX
      A client of the library's server: TLS, the tunnel, then the bytes in
      one write. Prints "REPLY <tag> <mode> <tid> <payload hex>" per frame
      received and "CLOSED" once the server closes.
  tls_peer.py post --port P --body TEXT [--extra TEXT] [--extra-size N]
      An HTTP client of the library's server: TLS, one POST whose body is
      written after the head, then --extra and N pattern bytes. Prints what
      it receives as "RECEIVED <repr>" once the server closes; with N, what
      comes before N pattern bytes at the end: "RECEIVED <repr> + N pattern
      bytes", or "RECEIVED <length> bytes, not ending in the pattern".
  tls_peer.py request --port P --bytes HEX [--body N]
      An HTTP client of the library's server: TLS, the bytes in one write,
      then N bytes of body (written until the server stops taking them).
      Prints what it receives as "RECEIVED <repr>" once the server closes.
  tls_peer.py late-reader --port P --transport plain|tunnel|tls --count N --size S [--batch B] [--rcvbuf R]
      A client of the library's server that asks for replies and reads none
      of them until told: N requests of tag 0a080c31 (the reply size in the
      session id field, the request's index in num), B per write (all in
      one by default), through TLS and the tunnel, the tunnel on a plain
      HTTP port, or plain frames. After each write it prints "SENT <n>" and
      waits for a line on standard input; then it reads the replies and
      prints "REPLIES <n> in order" (exit 0), or "WRONG <i>" / "MISSING
      after <i>" (exit 1). The expected payload of request i is the bytes
      (7 i + k) mod 256 for k from 0.
  tls_peer.py echo --port P --user U --password PW --sizes N,N,... [--trickle]
                   [--rcvbuf N] [--stall | --stall-then-close]
      A client of the library's server: TLS, the tunnel and the login, then
      one echo request per size with a payload of pattern bytes, each reply
      compared with its request: "ECHO <size> ok|wrong <length>". --trickle
      writes its records in pieces of 1 to 97 bytes. With --stall (or
      --stall-then-close) it prints "SENT" after each request and waits for
      a line on stdin before it reads the reply (or closes unread).
"""

import argparse
import hashlib
import socket
import ssl
import struct
import sys
import time
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)

TAG_REQUEST_CHALLENGE = 0xFF050C30
TAG_REGISTER = 0xFF000C31
# Requests the device answers in its own ways.
TAG_ECHO = 0x0A010C31        # the payload back, fragmented as needed, in one write
TAG_PAIR = 0x0A020C31        # a reply and a message in one TLS record
TAG_PUSH = 0x0A030C31        # a message, then the reply in the next record
TAG_BAD_TPKT = 0x0A040C31    # a frame with version byte 4
TAG_CLOSE_NOTIFY = 0x0A050C31  # close_notify, and the connection ends
TAG_MESSAGE = 0x0A060030     # what the device pushes
TAG_SHORT_TPKT = 0x0A070C31  # a frame announcing 16 bytes
TAG_SIZED = 0x0A080C31       # served by a test's handler: a reply of the size asked for
TAG_SPLIT = 0x0A090C31       # the payload back, its records cut at the 16-bit offset in front of it

MODE_REQUEST, MODE_REPLY, MODE_MESSAGE, MODE_ERROR = 0, 1, 2, 3
MORE_FRAGMENTS = 0x80
MAX_FRAGMENT = 65504
CHALLENGE = b"837261940512beef"


def context(server, cert=None, key=None):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER if server else ssl.PROTOCOL_TLS_CLIENT)
    ctx.minimum_version = ssl.TLSVersion.TLSv1
    ctx.maximum_version = ssl.TLSVersion.TLSv1
    ctx.set_ciphers("AES128-SHA:@SECLEVEL=0")
    if server:
        ctx.load_cert_chain(cert, key)
    else:
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
    return ctx


def say(text):
    print(text, flush=True)


def pattern(size):
    """Bytes whose period (251) no record or fragment size is a multiple of."""
    cycle = bytes((i * 7) % 251 for i in range(251))
    return (cycle * (size // 251 + 1))[:size]


def trickle(data):
    """Pieces of 1 to 97 bytes."""
    pieces, start, size = [], 0, 1
    while start < len(data):
        pieces.append(data[start:start + size])
        start += size
        size = size % 97 + 1
    return pieces


class PacedTls:
    """TLS over memory buffers: the records reach the socket in the pieces
    that cut() makes of each flight, each piece a write of its own."""

    def __init__(self, sock, ctx, server_side, cut=None):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock = sock
        self.cut = cut
        self.cut_once = None  # an offset at which the next flight is cut, with a pause
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = ctx.wrap_bio(self.incoming, self.outgoing, server_side=server_side)
        self._run(self.tls.do_handshake)

    @property
    def session_reused(self):
        return self.tls.session_reused

    def _flush(self):
        data = self.outgoing.read()
        if not data:
            return
        if self.cut_once is not None and 0 < self.cut_once < len(data):
            pieces = [data[:self.cut_once], data[self.cut_once:]]
        else:
            pieces = self.cut(data) if self.cut else [data]
        for i, piece in enumerate(pieces):
            if i > 0 and self.cut_once is not None:
                time.sleep(0.003)  # the first piece arrives alone
            self.sock.sendall(piece)
        self.cut_once = None

    def _run(self, operation, *args):
        while True:
            try:
                result = operation(*args)
                self._flush()
                return result
            except ssl.SSLWantReadError:
                self._flush()
                data = self.sock.recv(262144)
                if not data:
                    raise EOFError
                self.incoming.write(data)

    def recv(self, count):
        try:
            return self._run(self.tls.read, count)
        except (ssl.SSLZeroReturnError, EOFError):
            return b""

    def sendall(self, data):
        self._run(self.tls.write, data)

    def unwrap(self):
        try:
            self._run(self.tls.unwrap)
        except EOFError:
            pass

    def close(self):
        self.sock.close()


def frame(tag, mode, tid, payload, client_id=0, more=False):
    mode_byte = mode | (MORE_FRAGMENTS if more else 0)
    header = struct.pack(">IBBHIHH", tag, mode_byte, tid, client_id, 0, 0, len(payload) & 0xFFFF)
    return struct.pack(">BBH", 3, 0, 20 + len(payload)) + header + payload


def fragments(tag, mode, tid, payload, client_id=0):
    pieces = [payload[i:i + MAX_FRAGMENT] for i in range(0, len(payload), MAX_FRAGMENT)] or [b""]
    return b"".join(frame(tag, mode, tid, piece, client_id, i + 1 < len(pieces)) for i, piece in enumerate(pieces))


class Stream:
    """Frames read from a TLS socket, fragments joined. The buffer only
    grows at its end, so that large messages cost no more than their bytes.
    stall(), when given, runs once after stall_after bytes have come."""

    def __init__(self, sock, pending=b"", stall_after=None, stall=None):
        self.sock = sock
        self.buffer = bytearray(pending)
        self.start = 0
        self.received = len(pending)
        self.stall_after = stall_after
        self.stall = stall

    def take(self, count):
        while len(self.buffer) - self.start < count:
            if self.stall and self.received >= self.stall_after:
                stall, self.stall = self.stall, None
                stall()
            data = self.sock.recv(262144)
            if not data:
                raise EOFError
            self.received += len(data)
            del self.buffer[:self.start]
            self.start = 0
            self.buffer += data
        out = bytes(self.buffer[self.start:self.start + count])
        self.start += count
        return out

    def frame(self):
        version, _, length = struct.unpack(">BBH", self.take(4))
        if version != 3 or length < 20:
            raise ValueError("bad TPKT header")
        body = self.take(length - 4)
        tag, mode, tid, client, _, _, _ = struct.unpack(">IBBHIHH", body[:16])
        return tag, mode, tid, client, body[16:]

    def message(self):
        tag, mode, tid, client, payload = self.frame()
        pieces = [payload]
        while mode & MORE_FRAGMENTS:
            _, mode, _, _, more = self.frame()
            pieces.append(more)
        return tag, mode & 0x0F, tid, client, b"".join(pieces)


def read_head(sock, pending):
    while b"\r\n\r\n" not in pending:
        data = sock.recv(4096)
        if not data:
            raise EOFError
        pending += data
    end = pending.index(b"\r\n\r\n") + 4
    return pending[:end].decode("latin-1"), pending[end:]


def login_ok(payload, user, password):
    kind, length_field, id_count = struct.unpack(">IHH", payload[:8])
    text = payload[8 + 2 * id_count:].decode("latin-1")
    if kind != 0x01000000 or length_field < 256 or not text.startswith("+") or not text.endswith("+"):
        return text, False
    name, challenge, digest = text[1:-1].split(":")
    expected = hashlib.md5(("+%s+++%s:%s+" % (challenge, user, password)).encode()).hexdigest()
    return name, name == user and challenge == CHALLENGE.decode() and digest == expected


def serve(tls, args):
    pending = tls.recv(65536)
    if pending.startswith(b"GET "):
        head, pending = read_head(tls, pending)
        lines = head.split("\r\n")
        credentials = next((line.split(" ")[-1] for line in lines if line.startswith("Authorization:")), "")
        say("TUNNEL %s %s" % (lines[0], credentials))
    sequence = 0

    def stall():
        nonlocal sequence
        say("STALLED")
        for i in range(3):
            sequence += 1
            tls.sendall(frame(TAG_MESSAGE, MODE_MESSAGE, sequence, b"stalled %d" % i))
        sys.stdin.readline()

    stream = Stream(tls, pending, args.stall_after, stall if args.stall_after is not None else None)
    while True:
        tag, mode, tid, _, payload = stream.message()
        say("REQUEST %08x %d" % (tag, len(payload)))
        if tag == TAG_REQUEST_CHALLENGE:
            tls.sendall(frame(tag, MODE_REPLY, tid, CHALLENGE))
        elif tag == TAG_REGISTER and struct.unpack(">I", payload[:4])[0] == 0:
            # A client's new set of message ids, no login.
            tls.sendall(frame(tag, MODE_REPLY, tid, bytes([1, 3, 0x01, 0x23])))
        elif tag == TAG_REGISTER:
            name, ok = login_ok(payload, args.user, args.password)
            say("LOGIN %s %s" % (name, "ok" if ok else "refused"))
            answer = frame(tag, MODE_REPLY, tid, bytes([1, 3, 0x01, 0x23])) if ok else frame(tag, MODE_ERROR, tid, b"\xa0")
            tls.sendall(answer)
        elif tag == TAG_ECHO:
            # One write: its records end inside frames and hold the start of the next.
            tls.sendall(fragments(tag, MODE_REPLY, tid, payload))
        elif tag == TAG_PAIR:
            sequence += 1
            tls.sendall(frame(tag, MODE_REPLY, tid, payload) + frame(TAG_MESSAGE, MODE_MESSAGE, sequence, b"pair"))
        elif tag == TAG_PUSH:
            sequence += 1
            tls.sendall(frame(TAG_MESSAGE, MODE_MESSAGE, sequence, payload))
            tls.sendall(frame(tag, MODE_REPLY, tid, b""))
        elif tag == TAG_BAD_TPKT:
            tls.sendall(b"\x04" + frame(tag, MODE_REPLY, tid, b"")[1:])
        elif tag == TAG_SHORT_TPKT:
            tls.sendall(struct.pack(">BBH", 3, 0, 16) + frame(tag, MODE_REPLY, tid, b"")[4:16])
        elif tag == TAG_CLOSE_NOTIFY:
            tls.unwrap()
            return
        elif tag == TAG_SPLIT:
            tls.cut_once = struct.unpack(">H", payload[:2])[0]
            tls.sendall(frame(tag, MODE_REPLY, tid, payload))
        else:
            tls.sendall(frame(tag, MODE_REPLY, tid, b""))


def device(args):
    ctx = context(True, args.cert, args.key)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.rcvbuf:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, args.rcvbuf)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(8)
    say("LISTENING %d" % listener.getsockname()[1])
    while True:
        conn, _ = listener.accept()
        conn.settimeout(30)
        try:
            if args.plain:
                serve(conn, args)
                continue
            if args.paced:
                tls = PacedTls(conn, ctx, True, trickle if args.trickle else None)
            else:
                tls = ctx.wrap_socket(conn, server_side=True)
            say("HANDSHAKE reused=%d" % int(tls.session_reused))
            serve(tls, args)
        except (EOFError, OSError, ValueError) as error:
            say("ENDED %s" % type(error).__name__)
            # Shut down in order, or OpenSSL forgets the session.
            try:
                if not args.plain:
                    tls.unwrap()
            except (OSError, NameError):
                pass
        finally:
            conn.close()
            say("CLOSED")


def connect(port, paced_cut=None, rcvbuf=0):
    raw = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    raw.settimeout(20)
    raw.connect(("127.0.0.1", port))
    if paced_cut:
        return PacedTls(raw, context(False), False, paced_cut)
    return context(False).wrap_socket(raw)


def open_tunnel(port, user, paced_cut=None, rcvbuf=0):
    tls = connect(port, paced_cut, rcvbuf)
    credentials = __import__("base64").b64encode(("%s:" % user).encode()).decode()
    tls.sendall(("GET /zel_tunnel HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Basic %s\r\n\r\n"
                 % credentials).encode())
    return tls


def log_in(tls, stream, user, password):
    """The challenge login: the answer's mode and payload, or None when the
    challenge is not answered."""
    tls.sendall(frame(TAG_REQUEST_CHALLENGE, MODE_REQUEST, 1, b""))
    tag, mode, _, _, challenge = stream.message()
    if tag != TAG_REQUEST_CHALLENGE or mode != MODE_REPLY:
        return None
    challenge = challenge[:16].split(b"\0")[0].decode()
    digest = hashlib.md5(("+%s+++%s:%s+" % (challenge, user, password)).encode()).hexdigest()
    text = ("+%s:%s:%s+" % (user, challenge, digest)).encode()
    tls.sendall(frame(TAG_REGISTER, MODE_REQUEST, 2, struct.pack(">IHHH", 0x01000000, len(text) + 256, 1, 0xFF03) + text))
    _, mode, _, _, answer = stream.message()
    return mode, answer


def logged_in(result):
    return result is not None and result[0] == MODE_REPLY and len(result[1]) >= 4


def echo(args):
    tls = open_tunnel(args.port, args.user, trickle if args.trickle else None, args.rcvbuf)
    stream = Stream(tls)
    if not logged_in(log_in(tls, stream, args.user, args.password)):
        say("REFUSED")
        return 1
    for tid, size in enumerate((int(size) for size in args.sizes.split(",")), 3):
        payload = pattern(size)
        tls.sendall(fragments(TAG_ECHO, MODE_REQUEST, tid & 0xFF, payload))
        if args.stall or args.stall_then_close:
            say("SENT")
            sys.stdin.readline()
            if args.stall_then_close:
                tls.close()
                say("CLOSED")
                return 0
        tag, mode, _, _, reply = stream.message()
        ok = tag == TAG_ECHO and mode == MODE_REPLY and reply == payload
        say("ECHO %d %s %d" % (size, "ok" if ok else "wrong", len(reply)))
    tls.close()
    return 0


def login(args):
    tls = open_tunnel(args.port, args.user)
    stream = Stream(tls)
    result = log_in(tls, stream, args.user, args.password)
    if result is None:
        return 1
    if not logged_in(result):
        say("REFUSED %d" % result[0])
        return 1
    answer = result[1]
    say("LEVEL %d" % answer[1])
    say("CLIENT %d" % struct.unpack(">H", answer[2:4])[0])
    # Two requests in one write: one record holds both.
    tls.sendall(frame(TAG_ECHO, MODE_REQUEST, 3, b"first") + frame(TAG_ECHO, MODE_REQUEST, 4, b"second"))
    for _ in range(2):
        tag, mode, tid, _, payload = stream.message()
        say("REPLY %08x %d %d %s" % (tag, mode, tid, payload.hex()))
    tls.close()
    return 0


def send(args):
    tls = open_tunnel(args.port, "u")
    tls.sendall(bytes.fromhex(args.bytes))
    stream = Stream(tls)
    try:
        while True:
            tag, mode, tid, _, payload = stream.frame()
            say("REPLY %08x %d %d %s" % (tag, mode, tid, payload.hex()))
    except (EOFError, ssl.SSLError, OSError):
        say("CLOSED")
    return 0


def read_until_closed(tls):
    """All the server sends until it closes (or the connection breaks)."""
    received = b""
    try:
        while True:
            data = tls.recv(65536)
            if not data:
                break
            received += data
    except (ssl.SSLError, OSError):
        pass
    return received


def post(args):
    tls = connect(args.port)
    body = args.body.encode()
    tls.sendall(("POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(body)).encode())
    tls.sendall(body)
    if args.extra:
        tls.sendall(args.extra.encode())
    tail = pattern(args.extra_size)
    tls.sendall(tail)
    received = read_until_closed(tls)
    if not args.extra_size:
        say("RECEIVED %r" % received)
    elif received.endswith(tail):
        say("RECEIVED %r + %d pattern bytes" % (received[:-len(tail)], len(tail)))
    else:
        say("RECEIVED %d bytes, not ending in the pattern" % len(received))
    return 0


def request(args):
    tls = connect(args.port)
    try:
        tls.sendall(bytes.fromhex(args.bytes))
        if args.body:
            tls.sendall(b"b" * args.body)
    except (ssl.SSLError, OSError):
        pass  # the server refused and closed while the body was still coming
    received = read_until_closed(tls)
    say("RECEIVED %r" % received)
    return 0


def late_reader(args):
    raw = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    # Room for every request, so that the one write ends though the server
    # stops reading; a small receive buffer keeps the replies on its side.
    raw.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 262144)
    if args.rcvbuf:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, args.rcvbuf)
    raw.settimeout(30)
    raw.connect(("127.0.0.1", args.port))
    sock = context(False).wrap_socket(raw) if args.transport == "tls" else raw
    head = b"" if args.transport == "plain" else b"GET /zel_tunnel HTTP/1.0\r\n\r\n"
    batch = args.batch or args.count
    for first in range(0, args.count, batch):
        requests = b"".join(struct.pack(">BBHIBBHIHH", 3, 0, 20, TAG_SIZED, MODE_REQUEST, i & 0xFF, 0, args.size,
                                        i & 0xFFFF, 0) for i in range(first, min(first + batch, args.count)))
        sock.sendall(head + requests)
        head = b""
        say("SENT %d" % min(first + batch, args.count))
        sys.stdin.readline()
    stream = Stream(sock)
    pattern = bytes(k & 0xFF for k in range(args.size + 256))
    for i in range(args.count):
        try:
            version, _, length = struct.unpack(">BBH", stream.take(4))
            body = stream.take(length - 4)
        except (EOFError, OSError, ssl.SSLError):
            say("MISSING after %d" % i)
            return 1
        tag, mode, tid, _, _, num, _ = struct.unpack(">IBBHIHH", body[:16])
        start = (7 * i) & 0xFF
        if (version, tag, mode, tid, num) != (3, TAG_SIZED, MODE_REPLY, i & 0xFF, i & 0xFFFF) or \
                body[16:] != pattern[start:start + args.size]:
            say("WRONG %d tag %08x mode %d tid %d num %d length %d" % (i, tag, mode, tid, num, length))
            return 1
    say("REPLIES %d in order" % args.count)
    return 0


def main():
    parser = argparse.ArgumentParser()
    commands = parser.add_subparsers(dest="command", required=True)
    device_args = commands.add_parser("device")
    device_args.add_argument("--cert", required=True)
    device_args.add_argument("--key", required=True)
    device_args.add_argument("--port", type=int, default=0)
    device_args.add_argument("--user", default="u")
    device_args.add_argument("--password", default="pw")
    device_args.add_argument("--plain", action="store_true")
    device_args.add_argument("--paced", action="store_true")
    device_args.add_argument("--trickle", action="store_true")
    device_args.add_argument("--rcvbuf", type=int, default=0)
    device_args.add_argument("--stall-after", type=int, default=None)
    login_args = commands.add_parser("login")
    login_args.add_argument("--port", type=int, required=True)
    login_args.add_argument("--user", required=True)
    login_args.add_argument("--password", required=True)
    send_args = commands.add_parser("send")
    send_args.add_argument("--port", type=int, required=True)
    send_args.add_argument("--bytes", required=True)
    post_args = commands.add_parser("post")
    post_args.add_argument("--port", type=int, required=True)
    post_args.add_argument("--body", required=True)
    post_args.add_argument("--extra", default="")
    post_args.add_argument("--extra-size", type=int, default=0)
    request_args = commands.add_parser("request")
    request_args.add_argument("--port", type=int, required=True)
    request_args.add_argument("--bytes", required=True)
    request_args.add_argument("--body", type=int, default=0)
    late_args = commands.add_parser("late-reader")
    late_args.add_argument("--port", type=int, required=True)
    late_args.add_argument("--transport", choices=["plain", "tunnel", "tls"], required=True)
    late_args.add_argument("--count", type=int, required=True)
    late_args.add_argument("--size", type=int, required=True)
    late_args.add_argument("--batch", type=int, default=0)
    late_args.add_argument("--rcvbuf", type=int, default=0)
    echo_args = commands.add_parser("echo")
    echo_args.add_argument("--port", type=int, required=True)
    echo_args.add_argument("--user", required=True)
    echo_args.add_argument("--password", required=True)
    echo_args.add_argument("--sizes", required=True)
    echo_args.add_argument("--trickle", action="store_true")
    echo_args.add_argument("--rcvbuf", type=int, default=0)
    echo_args.add_argument("--stall", action="store_true")
    echo_args.add_argument("--stall-then-close", action="store_true")
    args = parser.parse_args()
    if args.command == "device":
        device(args)
        return 0
    handlers = {"login": login, "send": send, "post": post, "request": request, "late-reader": late_reader,
                "echo": echo}
    return handlers[args.command](args)


if __name__ == "__main__":
    sys.exit(main())

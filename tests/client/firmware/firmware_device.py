#!/usr/bin/env python3
"""A device for firmware upload tests: its Zel service (login, the device
kind query) and its web server answer on the same ports, told apart by the
first bytes of a connection (a TPKT frame, a tunnel request, or a POST).
The web server is Python's http.server; multipart bodies are checked with
email.parser. Optionally everything runs inside TLS 1.0.

  firmware_device.py [--address A] [--port P ...] [--cert C --key K]
                     [--kind K] [--answer MODE] [--hold N]

Prints "LISTENING <port>" for each port, "KIND <port>" for each kind query and,
for each POST, one line "POST key=value ..." with percent-encoded values:
  port       the port it came in on
  head       the request head as received, up to the empty line
  auth       the Authorization header's credentials, base64-decoded
  length     body bytes received
  part_head  the body up to the first empty line
  tail       the last 31 bytes of the body
  size, md5  of the bytes between them (the file)
  form_name, form_filename, form_md5   as email.parser reads the body
             (bodies up to 1 MiB)

--answer decides what the web server answers after the body:
  ok       "HTTP/1.1 200 OK" and headers in one write
  split    "HTTP/1.1 2", a pause, then the rest of the status line
  refused  "HTTP/1.1 401 Unauthorized"
  onebyte  "H", then the connection is closed
  cut      "HTTP/1.1 20", then the connection is closed
  long     600 bytes without a line end
  garbage  "hello there" and a line end
  silent   nothing; the connection stays open until the client closes it
  stall    reads nothing of the body and answers nothing
--hold N makes every answer wait until N bodies have arrived.
"""

import argparse
import base64
import email.parser
import hashlib
import http.server
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)

TAG_REQUEST_CHALLENGE = 0xFF050C30
TAG_REGISTER = 0xFF000C31
TAG_KIND_QUERY = 0x002E1030
MODE_REPLY = 1
CHALLENGE = b"837261940512beef"
TAIL_LENGTH = 31
FORM_PARSE_MAX = 1 << 20

output_lock = threading.Lock()
bodies_lock = threading.Condition()
bodies_received = 0


def say(text):
    with output_lock:
        print(text, flush=True)


def quote(value):
    if isinstance(value, str):
        value = value.encode("latin-1")
    return urllib.parse.quote_from_bytes(value, safe="")


class Recording:
    """The handler's input file, keeping the lines read through it."""

    def __init__(self, wrapped):
        self.wrapped = wrapped
        self.lines = []

    def readline(self, *args):
        line = self.wrapped.readline(*args)
        self.lines.append(line)
        return line

    def __getattr__(self, name):
        return getattr(self.wrapped, name)


class Device(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    options = None

    def setup(self):
        if self.options.cert:
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        super().setup()

    def handle(self):
        try:
            first = self.rfile.peek(4)[:4]
            if first[:1] == b"\x03":
                self.serve_zel()
            elif first == b"GET ":
                while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                    pass
                self.serve_zel()
            elif first:
                self.rfile = Recording(self.rfile)
                super().handle()
        except (OSError, EOFError, ssl.SSLError):
            pass

    def log_message(self, *args):
        pass

    # The Zel side: login, the kind query, an empty reply to anything else.
    def read_exactly(self, count):
        data = self.rfile.read(count)
        if len(data) < count:
            raise EOFError
        return data

    def serve_zel(self):
        while True:
            _, _, length = struct.unpack(">BBH", self.read_exactly(4))
            body = self.read_exactly(length - 4)
            tag, _, tid, _, _, _, _ = struct.unpack(">IBBHIHH", body[:16])
            payload = b""
            if tag == TAG_REQUEST_CHALLENGE:
                payload = CHALLENGE
            elif tag == TAG_REGISTER:
                payload = bytes([1, 3, 0x01, 0x23])
            elif tag == TAG_KIND_QUERY:
                say("KIND %d" % self.server.server_address[1])
                payload = self.options.kind.encode()
            header = struct.pack(">IBBHIHH", tag, MODE_REPLY, tid, 0, 0, 0, len(payload))
            self.wfile.write(struct.pack(">BBH", 3, 0, 20 + len(payload)) + header + payload)
            self.wfile.flush()

    # The web server.
    def do_POST(self):
        global bodies_received
        self.close_connection = True
        head = b"".join(self.rfile.lines)
        self.rfile = self.rfile.wrapped
        if self.options.answer == "stall":
            time.sleep(60)
            return
        length = int(self.headers.get("Content-Length", "0"))
        record = self.read_body(length)
        record["port"] = str(self.server.server_address[1])
        record["head"] = head
        credentials = self.headers.get("Authorization", "")
        if credentials.startswith("Basic "):
            record["auth"] = base64.b64decode(credentials[6:])
        say("POST " + " ".join("%s=%s" % (key, quote(value)) for key, value in sorted(record.items())))
        with bodies_lock:
            bodies_received += 1
            bodies_lock.notify_all()
            bodies_lock.wait_for(lambda: bodies_received >= self.options.hold, timeout=30)
        self.answer()

    def read_body(self, length):
        """Streams the body: keeps its start and end, hashes the file."""
        start = b""
        kept = None  # body bytes held back until the part head is known
        digest = hashlib.md5()
        pending = b""
        size = 0
        received = 0
        whole = bytearray() if length <= FORM_PARSE_MAX else None
        while received < length:
            data = self.rfile.read(min(65536, length - received))
            if not data:
                break
            received += len(data)
            if whole is not None:
                whole += data
            if kept is None:
                start += data
                if b"\r\n\r\n" not in start and len(start) < 65536:
                    continue
                end = start.find(b"\r\n\r\n")
                end = end + 4 if end >= 0 else len(start)
                kept, data = start[:end], start[end:]
            pending += data
            if len(pending) > TAIL_LENGTH:
                digest.update(pending[:-TAIL_LENGTH])
                size += len(pending) - TAIL_LENGTH
                pending = pending[-TAIL_LENGTH:]
        record = {"length": str(received), "part_head": kept or start, "tail": pending,
                  "size": str(size), "md5": digest.hexdigest()}
        if whole is not None:
            content_type = self.headers.get("Content-Type", "")
            message = email.parser.BytesParser().parsebytes(
                b"Content-Type: " + content_type.encode() + b"\r\n\r\n" + bytes(whole))
            if message.is_multipart() and message.get_payload():
                part = message.get_payload()[0]
                record["form_name"] = part.get_param("name", header="content-disposition") or ""
                record["form_filename"] = part.get_filename() or ""
                record["form_md5"] = hashlib.md5(part.get_payload(decode=True) or b"").hexdigest()
        return record

    def answer(self):
        mode = self.options.answer
        out = self.connection
        if mode == "ok":
            out.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2\r\n\r\nok")
        elif mode == "split":
            out.sendall(b"HTTP/1.1 2")
            time.sleep(0.3)
            out.sendall(b"00 OK\r\nContent-Length: 0\r\n\r\n")
        elif mode == "refused":
            out.sendall(b"HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n")
        elif mode == "onebyte":
            out.sendall(b"H")
        elif mode == "cut":
            out.sendall(b"HTTP/1.1 20")
        elif mode == "long":
            out.sendall(b"HTTP/1.1 200 " + b"x" * 600)
            time.sleep(5)
        elif mode == "garbage":
            out.sendall(b"hello there\r\n\r\n")
        elif mode == "silent":
            while self.rfile.read(1):
                pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # a client that went away, or a failed handshake


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, action="append")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--kind", default="0")
    parser.add_argument("--answer", default="ok")
    parser.add_argument("--hold", type=int, default=0)
    options = parser.parse_args()
    Device.options = options
    tls = None
    if options.cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.minimum_version = ssl.TLSVersion.TLSv1
        tls.maximum_version = ssl.TLSVersion.TLSv1
        tls.set_ciphers("AES128-SHA:@SECLEVEL=0")
        tls.load_cert_chain(options.cert, options.key)
    servers = []
    if ":" in options.address:
        Server.address_family = socket.AF_INET6
    for port in options.port or [0]:
        server = Server((options.address, port), Device)
        server.tls = tls
        servers.append(server)
        say("LISTENING %d" % server.server_address[1])
    for server in servers[1:]:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    servers[0].serve_forever()


if __name__ == "__main__":
    sys.exit(main())

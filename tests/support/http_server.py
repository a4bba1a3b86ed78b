#!/usr/bin/env python3
"""A local HTTP server for the tests of the Windows build, which run under Wine and cannot start
Linux programs themselves: CTest starts it as a fixture and stops it afterwards.

  http_server.py start STATE_FILE   runs in the background; STATE_FILE gets
                                    "<port> <refused port> <pid> <https port>" once it listens
                                    (the https port serves the same paths with a self-signed
                                    certificate, or is 0 when openssl is missing)
  http_server.py stop STATE_FILE    ends the server that the file names

Paths:
  /echo...          200, the body is the request exactly as received (request line, headers,
                    blank line, body)
  /status/NNN       status NNN with the body "page NNN"
  /big/N            200 with N bytes of 'x'
  /redirect?to=URL  302 to URL
  /never            reads the request and never answers (the connection stays open)
  /trickle          200 announcing 100 bytes, then one byte every 200 ms
"""
import os
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        sock.settimeout(30)
        data = b""
        try:
            while b"\r\n\r\n" not in data:
                chunk = sock.recv(65536)
                if not chunk:
                    return
                data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            length = 0
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value.strip())
            while len(body) < length:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                body += chunk
        except OSError:
            return
        raw = head + b"\r\n\r\n" + body
        target = head.split(b"\r\n")[0].split(b" ")[1].decode("latin-1")
        url = urllib.parse.urlsplit(target)
        if url.path == "/never":
            # Holds the connection without a byte of answer until the client gives up.
            try:
                while sock.recv(65536):
                    pass
            except OSError:
                pass
            return
        if url.path == "/trickle":
            try:
                sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n")
                for _ in range(100):
                    time.sleep(0.2)
                    sock.sendall(b"x")
            except OSError:
                pass
            return
        status, reason, extra, payload = 200, "OK", [], raw
        if url.path.startswith("/status/"):
            status = int(url.path[len("/status/"):])
            reason = {404: "Not Found", 500: "Internal Server Error"}.get(status, "Other")
            payload = b"page %d" % status
        elif url.path.startswith("/big/"):
            payload = b"x" * int(url.path[len("/big/"):])
        elif url.path == "/redirect":
            status, reason, payload = 302, "Found", b""
            extra = ["Location: " + urllib.parse.parse_qs(url.query)["to"][0]]
        answer = ["HTTP/1.1 %d %s" % (status, reason), "Content-Type: text/plain",
                  "Content-Length: %d" % len(payload), "Connection: close"] + extra
        try:
            sock.sendall(("\r\n".join(answer) + "\r\n\r\n").encode("latin-1") + payload)
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def https_server(folder):
    """The same paths over TLS with a certificate nobody trusts, or None without openssl."""
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                           "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                          capture_output=True)
    if made.returncode != 0:
        return None
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server = Server(("127.0.0.1", 0), Handler)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    return server


def start(state_file):
    # A server left by an interrupted run is ended first, not left to its hour.
    stop(state_file)
    server = Server(("127.0.0.1", 0), Handler)
    secure = https_server(os.path.dirname(os.path.abspath(state_file)))
    refused = free_port()
    pid = os.fork()
    if pid:
        server.server_close()
        if secure:
            secure.server_close()
        # The state file is complete once it exists (written aside and renamed).
        for _ in range(200):
            if os.path.exists(state_file):
                return 0
            time.sleep(0.05)
        return 1
    os.setsid()
    devnull = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(devnull, fd)
    tmp = state_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d %d %d %d\n" % (server.server_address[1], refused, os.getpid(),
                                    secure.server_address[1] if secure else 0))
    os.replace(tmp, state_file)
    threading.Thread(target=lambda: (time.sleep(3600), os._exit(0)), daemon=True).start()
    if secure:
        threading.Thread(target=secure.serve_forever, daemon=True).start()
    server.serve_forever()
    return 0


def stop(state_file):
    try:
        with open(state_file) as f:
            pid = int(f.read().split()[2])
        os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError, IndexError):
        pass
    try:
        os.unlink(state_file)
    except OSError:
        pass
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(start(sys.argv[2]) if sys.argv[1] == "start" else stop(sys.argv[2]))

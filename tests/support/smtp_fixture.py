#!/usr/bin/python3
"""Local SMTP servers for test programs that cannot start them themselves (the Windows tests
under Wine, which get neither output nor exit code of a Linux program they start).

  smtp_fixture.py start DIR   starts one smtp_server.py per kind below, each in DIR/<kind>, and
                              returns once all listen; DIR/<kind>/port holds the port.
                              DIR/unused/port is a port where nothing listens.
                              DIR/launcher/port is where a test program asks for a server of
                              its own (see launch()).
  smtp_fixture.py stop DIR    stops them and waits for them.

A keeper process holds the servers' standard input; the servers end when it ends, at the
latest after an hour.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "smtp_server.py")
LOGIN = ["--user", "monitor", "--password", "secret"]
KINDS = {
    "plain": LOGIN,
    "starttls": ["--tls", "starttls", "--cram-md5"] + LOGIN,
    "implicit": ["--tls", "implicit", "--port", "465"] + LOGIN,
    "refusing": ["--tls", "starttls", "--refuse-auth"],
    "loginonly": ["--only-mechanism", "LOGIN"] + LOGIN,
    "dropping": ["--drop-in-data"],
    "notls": LOGIN,  # for the test that must not log in: no other test uses it
    "authaftertls": ["--tls", "starttls", "--auth-after-tls"] + LOGIN,
}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def launch(connection):
    """One server for one test program: it sends a JSON list (the server's folder as a Linux
    path, then smtp_server.py's other arguments) on one line, gets "PORT <n>" back, and the
    server runs until the program ends its side of the connection. The connection closes
    once the server has stopped."""
    with connection, connection.makefile("rw") as stream:
        try:
            args = json.loads(stream.readline())
            os.makedirs(args[0], exist_ok=True)
            p = subprocess.Popen([sys.executable, SERVER, "--dir"] + args, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        except (ValueError, IndexError, OSError) as e:
            stream.write("ERROR %s\n" % e)
            return
        stream.write(p.stdout.readline())
        stream.flush()
        while stream.read(4096):
            pass
        p.stdin.close()
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def serve_launches(folder):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    os.makedirs(os.path.join(folder, "launcher"), exist_ok=True)
    with open(os.path.join(folder, "launcher", "port"), "w") as f:
        f.write(str(listener.getsockname()[1]))
    def accept():
        while True:
            connection, _ = listener.accept()
            threading.Thread(target=launch, args=(connection,), daemon=True).start()
    threading.Thread(target=accept, daemon=True).start()


def start(folder):
    os.makedirs(folder, exist_ok=True)
    stop(folder)
    read_end, write_end = os.pipe()
    if os.fork() > 0:
        os.close(write_end)
        # The keeper writes one line when every server listens (or has failed to).
        with os.fdopen(read_end) as ready:
            line = ready.readline().strip()
        print(line)
        return 0 if line.startswith("ready") else 1
    os.close(read_end)
    os.setsid()
    # Nothing of the caller's stays open here: ctest waits for its pipes to close.
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    servers = []
    for kind, args in KINDS.items():
        d = os.path.join(folder, kind)
        os.makedirs(d, exist_ok=True)
        for name in os.listdir(d):
            os.remove(os.path.join(d, name))
        p = subprocess.Popen([sys.executable, SERVER, "--dir", d] + args, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        servers.append((kind, d, p))
    started = []
    for kind, d, p in servers:
        line = p.stdout.readline().strip()
        if line.startswith("PORT "):
            with open(os.path.join(d, "port"), "w") as f:
                f.write(line[5:])
            started.append(kind)
    os.makedirs(os.path.join(folder, "unused"), exist_ok=True)
    with open(os.path.join(folder, "unused", "port"), "w") as f:
        f.write(str(free_port()))
    serve_launches(folder)
    with open(os.path.join(folder, "keeper.pid"), "w") as f:
        f.write(str(os.getpid()))
    with os.fdopen(write_end, "w") as ready:
        ready.write("ready: " + " ".join(started) + "\n")
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    deadline = time.monotonic() + 3600
    while not stopping and time.monotonic() < deadline:
        time.sleep(0.2)
    for _, _, p in servers:
        p.stdin.close()
    for _, _, p in servers:
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()
    os._exit(0)


def stop(folder):
    pid_file = os.path.join(folder, "keeper.pid")
    if not os.path.exists(pid_file):
        return 0
    with open(pid_file) as f:
        pid = int(f.read())
    os.remove(pid_file)
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return 0
    for _ in range(150):
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.1)
    return 0


if __name__ == "__main__":
    command, folder = sys.argv[1], os.path.abspath(sys.argv[2])
    sys.exit(start(folder) if command == "start" else stop(folder))

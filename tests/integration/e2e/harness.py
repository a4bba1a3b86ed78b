"""Runs the real service against the local channel endpoints, for the end-to-end tests."""

import itertools
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.request

import sandbox

SOURCE_DIR = os.environ["VEL_SOURCE_DIR"]
BINARY_DIR = os.environ["VEL_BINARY_DIR"]
SERVICE = os.path.join(BINARY_DIR, "velservermonitor")
DEMO_APP = os.path.join(BINARY_DIR, "examples", "demo-app", "demo-app")
MOCK = os.path.join(SOURCE_DIR, "tools", "mock-channels", "mock-channels")
_channels = itertools.count(1)


def status_address(channel):
    """The socket address of a status channel: the abstract name the service listens on,
    ASCII letters in lower case."""
    name = "\\\\.\\mailslot\\" + channel
    return "\0" + "".join(c.lower() if "A" <= c <= "Z" else c for c in name)

SEPARATOR = "-" * 120


def wait_until(cond, timeout=10.0, interval=0.02):
    deadline = time.monotonic() + timeout
    while True:
        value = cond()
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def exception_log(message="Access violation at address 0040A1B2", cls="EAccessViolation",
                  app="Shop.exe"):
    """An exception-log text in the layout the writer produces."""
    label = lambda name: name.ljust(19) + ": "
    lines = [
        SEPARATOR,
        label("Exception message") + message,
        "Depending on the error condition, it might be possible to restart the application.",
        label("Exception class") + cls,
        label("Exception address") + "0040A1B2",
        label("Exception Time") + "2026-12-09 10:00:00.000",
        SEPARATOR,
        label("Application Name") + app,
        label("Application Version") + "1.0.0",
        SEPARATOR,
        label("Current Thread ID") + "4242",
        SEPARATOR,
        "[Stack trace is empty]",
        SEPARATOR,
    ]
    return "\r\n".join(lines) + "\r\n"


class Mock:
    def __init__(self, work, *args):
        self.record = os.path.join(work, "received.jsonl")
        self.out = open(os.path.join(work, "mock.out"), "w+")
        self.proc = subprocess.Popen([MOCK, "--record", self.record, *args],
                                     stdout=self.out, stderr=subprocess.STDOUT)
        lines = wait_until(lambda: self._ready_lines(), timeout=20)
        if not lines:
            raise RuntimeError("mock channels did not start: " + self._text())
        fields = {l.split()[0]: l.split()[1:] for l in lines}
        self.telegram_api = fields["telegram-api"][0]
        self.discord_api = fields["discord-api"][0]
        self.smtp_port = int(fields["smtp"][1])

    def _text(self):
        self.out.flush()
        with open(self.out.name) as f:
            return f.read()

    def _ready_lines(self):
        lines = self._text().splitlines()
        return lines if "ready" in lines else None

    def wait_output(self, text, timeout=15):
        return wait_until(lambda: text in self._text(), timeout=timeout)

    def control(self, **cmd):
        req = urllib.request.Request(self.telegram_api + "/control",
                                     data=json.dumps(cmd).encode(), method="POST")
        urllib.request.urlopen(req, timeout=5).read()

    def received(self, channel=None):
        try:
            with open(self.record, encoding="utf-8") as f:
                # The mock may be writing its last line right now: only whole lines count.
                items = [json.loads(l) for l in f if l.endswith("\n") and l.strip()]
        except FileNotFoundError:
            items = []
        return [i for i in items if channel is None or i["channel"] == channel]

    def wait_for(self, count, channel=None, timeout=15):
        return wait_until(lambda: len(self.received(channel)) >= count, timeout=timeout)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        self.out.close()


class Service:
    """velservermonitor --console with an INI written for the mock endpoints."""

    def __init__(self, work, mock, apps=("Shop",), telegram=None, discord=None, email=None,
                 general=None, log_folder=None, command_prefix=(), channel=None,
                 executable=SERVICE, ini_path=None, unmade=()):
        self.work = work
        if log_folder is None:
            self.logs = os.path.join(work, "logs") + "/"
            os.makedirs(self.logs, exist_ok=True)
        else:
            self.logs = log_folder
        self.folders = {}
        ini = ["[General]", f"LogPath={self.logs}", "MonitorEnabled=1",
               f"AppCount={len(apps)}"]
        for k, v in (general or {}).items():
            ini.append(f"{k}={v}")
        for n, app in enumerate(apps, start=1):
            folder = os.path.join(work, app + "-errors")
            if app not in unmade:  # unmade: folders the service has to make
                os.makedirs(folder, exist_ok=True)
            self.folders[app] = folder
            ini += [f"[App_{n}]", f"Name={app}", f"LogPath={folder}", "Enabled=1"]
        sections = {
            "Telegram": dict({"Enabled": 1, "BotToken": "123456:test-bot-token", "ChatId": "42",
                              "ApiUrl": mock.telegram_api}, **(telegram or {})),
            "Discord": dict({"Enabled": 1, "Token": "1000/test-webhook-token",
                             "Username": "Monitor", "ApiUrl": mock.discord_api},
                            **(discord or {})),
            "Email": dict({"Enabled": 1, "Host": "127.0.0.1", "Port": mock.smtp_port,
                           "Address": "ops@example.com", "Subject": "Monitor report",
                           "UserName": "monitor@example.com", "Authentication": "none"},
                          **(email or {})),
        }
        for name, keys in sections.items():
            ini.append(f"[{name}]")
            ini += [f"{k}={v}" for k, v in keys.items()]
        # ini_path: where the service finds the file by itself (no --config).
        self.ini = ini_path or os.path.join(work, "velservermonitor.ini")
        with open(self.ini, "w") as f:
            f.write("\n".join(ini) + "\n")
        config_args = () if ini_path else ("--config", self.ini)
        # A status channel of its own, so that runs never meet another service on the machine.
        self.channel = channel or f"vel_e2e_{os.getpid()}_{next(_channels)}"
        self.status_address = status_address(self.channel)
        # ... and a runtime folder of its own for the channel's socket file.
        self.status_dir = os.path.join(work, "run")
        os.makedirs(self.status_dir, exist_ok=True)
        env = dict(os.environ, VEL_STATUS_CHANNEL=self.channel, VEL_STATUS_DIR=self.status_dir)
        self.stderr = open(os.path.join(work, "service.err"), "w+")
        # Under the sandbox of the installed unit, where it can be applied (sandbox.py).
        self.proc = subprocess.Popen([*command_prefix, *sandbox.command_prefix(), executable,
                                      "--console", *config_args],
                                     stdout=subprocess.DEVNULL, stderr=self.stderr, env=env)
        # The console line comes after the start: folders watched, status channel polled.
        if not wait_until(lambda: "Running." in self.console_output(), timeout=15):
            raise RuntimeError("service did not start: " + self.console_output())

    def console_output(self):
        self.stderr.flush()
        with open(self.stderr.name) as f:
            return f.read()

    def diagnostic_log(self):
        path = os.path.join(self.logs, "velservermonitor.log")
        try:
            with open(path, "rb") as f:
                return f.read().decode("utf-16-le")
        except (FileNotFoundError, NotADirectoryError):
            return ""

    def send_status(self, text):
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(text.encode("utf-16-le"), self.status_address)

    def flood_status(self, count, make_text):
        """Sends count status messages back to back on one socket; returns the seconds taken."""
        start = time.monotonic()
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            for n in range(count):
                s.sendto(make_text(n).encode("utf-16-le"), self.status_address)
        return time.monotonic() - start

    def rss_kb(self):
        """The service's resident memory (VmRSS) in kB."""
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise RuntimeError("no VmRSS for the service")

    def write_exception_log(self, app, name, text, encoding="utf-8"):
        path = os.path.join(self.folders[app], name)
        tmp = os.path.join(self.work, name + ".tmp")
        with open(tmp, "w", encoding=encoding, newline="") as f:
            f.write(text)
        os.rename(tmp, path)  # arrives whole, as a move into the folder
        return path

    def stop(self, timeout=10):
        """SIGTERM; returns (exit code, seconds taken)."""
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = None
        self.stderr.close()
        return code, time.monotonic() - start


def closed_port():
    """A local TCP port nothing listens on: connections to it are refused."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Runs the command in a private mount namespace whose /dev/log is the socket given, so the
# system-log lines of one process can be read without a system log daemon. Everything else
# in /dev is bound back from the real one.
_SYSLOG_NS_SCRIPT = r"""
set -e
old=$1; sock=$2; shift 2
mount --rbind /dev "$old"
mount -t tmpfs tmpfs /dev
for p in "$old"/* "$old"/.[!.]*; do
  [ -e "$p" ] || [ -L "$p" ] || continue
  n=${p##*/}
  [ "$n" = log ] && continue
  if [ -L "$p" ]; then cp -P "$p" "/dev/$n"
  elif [ -d "$p" ]; then mkdir "/dev/$n"; mount --rbind "$p" "/dev/$n"
  else touch "/dev/$n"; mount --bind "$p" "/dev/$n"; fi
done
touch /dev/log
mount --bind "$sock" /dev/log
exec "$@"
"""


class SyslogSink:
    """A datagram socket standing in for /dev/log; see command_prefix for running a process
    against it. available is False where mount namespaces cannot be made."""

    def __init__(self, work):
        self.path = os.path.join(work, "syslog.sock")
        self.staging = os.path.join(work, "dev-staging")
        os.makedirs(self.staging, exist_ok=True)
        self.lines = []
        self._lock = threading.Lock()
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(0.2)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        probe = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                                _SYSLOG_NS_SCRIPT, "sh", self.staging, self.path, "true"],
                               capture_output=True, timeout=20)
        self.available = probe.returncode == 0

    def _run(self):
        while not self._stop.is_set():
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self.lines.append(data.decode("utf-8", "replace"))

    def text(self):
        with self._lock:
            return "\n".join(self.lines)

    def command_prefix(self):
        return ("unshare", "-m", "--propagation", "private", "sh", "-c", _SYSLOG_NS_SCRIPT,
                "sh", self.staging, self.path)

    def close(self):
        self._stop.set()
        self._thread.join(5)
        self.sock.close()


class Workspace:
    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="vel-e2e-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


class ServiceTestCase(unittest.TestCase):
    """A test with its own folder, mock channels and service, all removed afterwards."""

    def start(self, mock_args=(), **service_args):
        self.ws = Workspace()
        self.work = self.ws.__enter__()
        self.addCleanup(self.ws.__exit__, None, None, None)
        self.mock = Mock(self.work, *mock_args)
        self.addCleanup(self.mock.stop)
        self.service = Service(self.work, self.mock, **service_args)
        self.addCleanup(lambda: self.service.proc.poll() is None and self.service.stop())
        return self.service, self.mock

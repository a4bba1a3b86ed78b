"""The Windows executable under Wine, driven from the Linux side: installed, started, stopped and
removed through the service control manager of the private Wine prefix, and run with --console
against the local channel endpoints (tools/mock-channels).

Environment: VEL_SOURCE_DIR, VEL_BINARY_DIR, VEL_WINE (the wine64 loader) and WINEPREFIX.
"""

import os
import re
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.environ["VEL_SOURCE_DIR"], "tests", "integration", "e2e"))
from harness import Mock, Workspace, closed_port, exception_log, wait_until  # noqa: E402

WINE = os.environ.get("VEL_WINE", "/usr/lib/wine/wine64")
BINARY_DIR = os.environ["VEL_BINARY_DIR"]
EXE = os.path.join(BINARY_DIR, "velservermonitor.exe")
DEMO_APP = os.path.join(BINARY_DIR, "examples", "demo-app", "demo-app.exe")
NAME = "VelServerMonitor"
KEY = r"HKLM\SYSTEM\CurrentControlSet\Services" + "\\" + NAME
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\velservermonitor"


def winpath(path):
    """The Wine name of a Linux path (drive Z: is the Linux root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(*args, timeout=60):
    env = dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))
    r = subprocess.run([WINE, *args], capture_output=True, timeout=timeout, env=env)
    return r.returncode, r.stdout.decode("utf-8", "replace").replace("\r", "") + \
        r.stderr.decode("utf-8", "replace").replace("\r", "")


def service_state():
    _, out = wine("sc", "query", NAME)
    m = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
    return m.group(1) if m else None


class ScmTest(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.work = self.ws.__enter__()
        self.addCleanup(self.ws.__exit__, None, None, None)
        # Whatever happens below, the prefix is left without the service.
        self.addCleanup(lambda: (wine("net", "stop", NAME), wine("sc", "delete", NAME)))
        self.ini = os.path.join(self.work, "monitor.ini")
        with open(self.ini, "w") as f:
            f.write("[General]\nMonitorEnabled=0\n")

    def test_install_start_stop_remove(self):
        rc, out = wine(EXE, "--install", "--config", winpath(self.ini))
        self.assertEqual(rc, 0, out)
        _, reg = wine("reg", "query", KEY)
        self.assertRegex(reg, r"Description\s+REG_SZ\s+Velmora Server Monitor Service Application")
        self.assertRegex(reg, r"DisplayName\s+REG_SZ\s+Velmora Server Monitor")
        self.assertRegex(reg, r"Start\s+REG_DWORD\s+0x2\b")   # automatic
        self.assertRegex(reg, r"Type\s+REG_DWORD\s+0x10\b")   # own process
        self.assertRegex(reg, r"ErrorControl\s+REG_DWORD\s+0x1\b")
        self.assertIn('--config "' + winpath(self.ini) + '"', reg)
        # The event source, pointing at the executable's message table.
        _, reg = wine("reg", "query", EVENT_SOURCE_KEY)
        self.assertRegex(reg, r"EventMessageFile\s+REG_EXPAND_SZ\s+" + re.escape(winpath(EXE)))
        self.assertRegex(reg, r"TypesSupported\s+REG_DWORD\s+0x7\b")

        rc, out = wine(EXE, "/install")
        self.assertEqual(rc, 1, out)
        self.assertIn('Service "Velmora Server Monitor" failed to install with error: "', out)

        wine("net", "start", NAME)
        self.assertTrue(wait_until(lambda: service_state() == "RUNNING", timeout=20))
        wine("net", "stop", NAME)
        self.assertTrue(wait_until(lambda: service_state() == "STOPPED", timeout=20))
        _, out = wine("sc", "query", NAME)
        self.assertRegex(out, r"WIN32_EXIT_CODE\s*:\s*0\b")

        rc, out = wine(EXE, "--uninstall")
        self.assertEqual(rc, 0, out)
        self.assertIsNone(service_state())
        self.assertNotEqual(wine("reg", "query", EVENT_SOURCE_KEY)[0], 0)
        rc, out = wine(EXE, "/uninstall")
        self.assertEqual(rc, 0, out)
        self.assertIn("not installed", out)

    def test_uninstall_stops_a_running_service(self):
        self.assertEqual(wine(EXE, "/install", "--config", winpath(self.ini))[0], 0)
        wine("net", "start", NAME)
        self.assertTrue(wait_until(lambda: service_state() == "RUNNING", timeout=20))
        rc, out = wine(EXE, "/uninstall")
        self.assertEqual(rc, 0, out)
        self.assertIn("Stopped the service", out)
        self.assertIsNone(service_state())


class ConsoleEndToEndTest(unittest.TestCase):
    """velservermonitor.exe --console with an INI written for the mock endpoints."""

    def setUp(self):
        self.ws = Workspace()
        self.work = self.ws.__enter__()
        self.addCleanup(self.ws.__exit__, None, None, None)
        self.mock = Mock(self.work)
        self.addCleanup(self.mock.stop)
        self.proc = None
        self.addCleanup(self._stop)

    def _start(self, smtp_port):
        """Runs the service on the mock endpoints, e-mail to smtp_port."""
        self.logs = os.path.join(self.work, "logs")
        self.folder = os.path.join(self.work, "Shop-errors")
        os.makedirs(self.logs)
        os.makedirs(self.folder)
        self.channel = "vel_win_e2e_%d" % os.getpid()
        ini = ["[General]", "LogPath=" + winpath(self.logs) + "\\", "MonitorEnabled=1",
               "AppCount=1",
               "[App_1]", "Name=Shop", "LogPath=" + winpath(self.folder), "Enabled=1",
               "[Telegram]", "Enabled=1", "BotToken=123456:test-bot-token", "ChatId=42",
               "ApiUrl=" + self.mock.telegram_api,
               "[Discord]", "Enabled=1", "Token=1000/test-webhook-token", "Username=Monitor",
               "ApiUrl=" + self.mock.discord_api,
               "[Email]", "Enabled=1", "Host=127.0.0.1", "Port=%d" % smtp_port,
               "Address=ops@example.com", "Subject=Monitor report",
               "UserName=monitor@example.com", "Authentication=none"]
        self.ini = os.path.join(self.work, "velservermonitor.ini")
        with open(self.ini, "w") as f:
            f.write("\r\n".join(ini) + "\r\n")
        self.err = open(os.path.join(self.work, "service.err"), "w+")
        env = dict(os.environ, VEL_STATUS_CHANNEL=self.channel, WINEDEBUG="-all")
        self.proc = subprocess.Popen([WINE, EXE, "--console", "--config", winpath(self.ini)],
                                     stdout=subprocess.DEVNULL, stderr=self.err, env=env)
        self.assertTrue(wait_until(lambda: "Running." in self._output(), timeout=60),
                        self._output())

    def _output(self):
        self.err.flush()
        with open(self.err.name, encoding="utf-8", errors="replace") as f:
            return f.read()

    def _stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)  # Ctrl+C for the console program
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.err.close()

    def diagnostic_log(self):
        try:
            with open(os.path.join(self.logs, "velservermonitor.log"), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def test_exception_log_reaches_both_chats_and_the_log_is_utf16(self):
        # E-mail goes to a port nothing listens on: its failure is the diagnostic line to see.
        self._start(closed_port())
        tmp = os.path.join(self.work, "alert.tmp")
        with open(tmp, "w", encoding="utf-8", newline="") as f:
            f.write(exception_log())
        os.rename(tmp, os.path.join(self.folder, "Shop@2026-12-09 10-00-00.0001.Log"))
        self.assertTrue(self.mock.wait_for(1, "telegram", timeout=30), self.mock.received())
        self.assertTrue(self.mock.wait_for(1, "discord", timeout=30), self.mock.received())
        for chat in ("telegram", "discord"):
            msg = self.mock.received(chat)[0]
            self.assertEqual(msg["title"], "Shop")
            self.assertIn("Access violation at address 0040A1B2", msg["text"])

        # The failed e-mail is the one diagnostic line: UTF-16LE, no byte-order mark, a
        # timestamp, "Error: " and the reason, CR LF.
        self.assertTrue(wait_until(lambda: b"\r\x00\n\x00" in self.diagnostic_log(), timeout=60))
        raw = self.diagnostic_log()
        self.assertFalse(raw.startswith(b"\xff\xfe"))
        text = raw.decode("utf-16-le")
        first = text.split("\r\n")[0]
        # The timestamp is in the user's regional format ("12/9/2026 10:53:30 PM" under Wine).
        self.assertRegex(first, r"^\S+ \S+( [AP]M)? Error: ", text)

        self._stop()
        self.assertEqual(self.proc.returncode, 0)

    def test_demo_application_reaches_all_three_channels(self):
        if not os.path.exists(DEMO_APP):
            self.skipTest("the Windows demo application is not built")
        self._start(self.mock.smtp_port)
        # One status report, and an exception log written into the watched folder.
        rc, out = wine(DEMO_APP, "--name", "Shop", "--log-folder", winpath(self.folder),
                       "--status-channel", self.channel)
        self.assertEqual(rc, 0, out)
        # The alerts come at once, the status report with the next poll of the channel.
        def texts(chat):
            return " ".join(m["text"] for m in self.mock.received(chat))
        for channel in ("telegram", "discord", "email"):
            self.assertTrue(wait_until(lambda: "Session Count" in texts(channel)
                                       and "could not be saved" in texts(channel), timeout=30),
                            (channel, self.mock.received(), self._output()))
        mail = [m for m in self.mock.received("email") if "could not be saved" in m["text"]][0]
        self.assertEqual(mail["to"], ["ops@example.com"])
        # The subject names the application in front of the configured one.
        self.assertEqual(mail["title"], "Shop: Monitor report")
        self.assertNotIn("Error:", self.diagnostic_log().decode("utf-16-le"))

if __name__ == "__main__":
    unittest.main()

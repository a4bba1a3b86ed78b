"""End-to-end tests: text a stranger controls, and the defaults of an installed service."""

import os
import shutil
import subprocess
import tempfile
import unittest

from harness import SERVICE, ServiceTestCase, exception_log

INDENT = " " * 21  # where the writer puts every further line of a value


class UntrustedTextTest(ServiceTestCase):
    def test_message_cannot_pose_as_a_label_or_empty_the_short_form(self):
        service, mock = self.start(general={"IgnoreExceptions": "EIgnored"})
        # A message from request data, as the writer lays out a value of several lines.
        message = ("Order for Application Name 'x' failed\r\n" + INDENT +
                   "Exception class    : EIgnored\r\n" + INDENT + "Application Name   : forged")
        service.write_exception_log("Shop", "Shop@forged.Log", exception_log(message=message))
        self.assertTrue(mock.wait_for(3), mock.received())
        for chat in ("telegram", "discord"):
            text = mock.received(chat)[0]["text"]
            self.assertIn("Order for Application Name 'x' failed", text)
            self.assertIn("EAccessViolation", text)
            self.assertIn("forged", text)
            self.assertNotIn("Application Version", text)

    def test_unindented_message_naming_an_ignored_class_is_still_alerted(self):
        service, mock = self.start(general={"IgnoreExceptions": "EIgnored"})
        # A writer of the field that does not indent the further lines of a value.
        message = "bad input\r\nException class    : EIgnored\r\nApplication Name   : forged"
        service.write_exception_log("Shop", "Shop@flat.Log", exception_log(message=message))
        self.assertTrue(mock.wait_for(3), mock.received())
        for chat in ("telegram", "discord"):
            text = mock.received(chat)[0]["text"]
            self.assertIn("EAccessViolation", text)
            self.assertIn("forged", text)
            self.assertNotIn("Application Version", text)

    def test_report_in_windows_1252_is_alerted_as_written(self):
        service, mock = self.start()
        service.write_exception_log("Shop", "Shop@ansi.Log",
                                    exception_log(message="Ung\u00fcltige Eingabe \u20ac"),
                                    encoding="cp1252")
        self.assertTrue(mock.wait_for(3), mock.received())
        for msg in mock.received():
            self.assertIn("Ung\u00fcltige Eingabe \u20ac", msg["text"])
        self.assertNotIn("Error", service.diagnostic_log())


class LinuxDefaultsTest(ServiceTestCase):
    def test_without_config_the_system_file_is_read(self):
        # An installed executable with no INI file beside it, and the system's file in an
        # /etc of its own (an overlay seen by the service only).
        probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
        if os.geteuid() != 0 or probe.returncode != 0:
            self.skipTest("needs root and mount namespaces for a private /etc")
        work = tempfile.mkdtemp(prefix="vel-etc-")
        self.addCleanup(shutil.rmtree, work, True)
        upper, scratch, bindir = (os.path.join(work, d) for d in ("upper", "scratch", "bin"))
        for d in (os.path.join(upper, "velservermonitor"), scratch, bindir):
            os.makedirs(d)
        exe = os.path.join(bindir, "velservermonitor")
        shutil.copy2(SERVICE, exe)
        overlay = ("unshare", "-m", "--propagation", "private", "sh", "-c",
                   'mount -t overlay overlay -o "lowerdir=/etc,upperdir=$1,workdir=$2" /etc; '
                   'shift 2; exec "$@"', "sh", upper, scratch)
        service, mock = self.start(
            executable=exe, command_prefix=overlay,
            ini_path=os.path.join(upper, "velservermonitor", "velservermonitor.ini"))
        service.write_exception_log("Shop", "Shop@etc.Log", exception_log())
        self.assertTrue(mock.wait_for(3), service.console_output())


if __name__ == "__main__":
    unittest.main()

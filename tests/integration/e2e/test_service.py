"""End-to-end tests: the real service, the local channel endpoints, real files and sockets."""

import os
import socket
import subprocess
import sys
import unittest

from harness import DEMO_APP, ServiceTestCase, exception_log, status_address, wait_until

FENCE = "```"
SENDER = os.path.join(os.environ["VEL_SOURCE_DIR"], "examples", "python-sender", "send_status.py")


class AlertTest(ServiceTestCase):
    def test_exception_log_reaches_every_channel_in_its_form(self):
        service, mock = self.start()
        service.write_exception_log("Shop", "Shop@2026-12-09 10-00-00.0001.Log", exception_log())
        self.assertTrue(mock.wait_for(3), mock.received())
        by_channel = {m["channel"]: m for m in mock.received()}
        self.assertEqual(set(by_channel), {"telegram", "discord", "email"})
        for chat in ("telegram", "discord"):
            msg = by_channel[chat]
            self.assertEqual(msg["title"], "Shop")
            self.assertIn(FENCE, msg["text"])
            self.assertIn("Access violation at address 0040A1B2", msg["text"])
            # The short form stops before the application section.
            self.assertNotIn("Application Name", msg["text"])
            self.assertNotIn("-" * 120, msg["text"])
        mail = by_channel["email"]
        self.assertEqual(mail["title"], "Shop: Monitor report")
        self.assertTrue(mail["text"].startswith("Application: Shop"), mail["text"])
        self.assertIn("EAccessViolation", mail["text"])
        self.assertNotIn(FENCE, mail["text"])
        self.assertNotIn("restart the application", mail["text"])

    def test_full_log_for_a_channel_with_send_full_log(self):
        service, mock = self.start(telegram={"SendFullLog": 1})
        service.write_exception_log("Shop", "Shop@full.Log", exception_log())
        self.assertTrue(mock.wait_for(1, "telegram"))
        text = mock.received("telegram")[0]["text"]
        self.assertIn("Application Name", text)
        self.assertNotIn(FENCE, text)

    def test_ignored_class_and_non_logs_send_nothing(self):
        service, mock = self.start(general={"IgnoreExceptions": "EAbort; EAccessViolation"})
        service.write_exception_log("Shop", "ignored.Log", exception_log(cls="eaccessviolation"))
        service.write_exception_log("Shop", "notes.txt", "just a text file\r\n")
        # A marker alert afterwards proves the two files above were handled and dropped.
        service.write_exception_log("Shop", "marker.Log", exception_log(cls="EMarker"))
        self.assertTrue(mock.wait_for(3))
        self.assertTrue(all("EMarker" in m["text"] for m in mock.received()), mock.received())
        self.assertNotIn("Error", service.diagnostic_log())

    def test_same_file_twice_alerts_once(self):
        service, mock = self.start()
        path = service.write_exception_log("Shop", "twice.Log", exception_log())
        self.assertTrue(mock.wait_for(3))
        os.remove(path)
        service.write_exception_log("Shop", "twice.Log", exception_log())
        service.write_exception_log("Shop", "after.Log", exception_log(cls="EAfter"))
        self.assertTrue(mock.wait_for(6))
        texts = [m["text"] for m in mock.received("telegram")]
        self.assertEqual(len(texts), 2, texts)
        self.assertIn("EAfter", texts[1])


class StatusReportTest(ServiceTestCase):
    def test_status_report_is_formatted_on_all_three(self):
        service, mock = self.start()
        service.send_status("AppName=Shop|SessionCount=5|RequestCount=123456|BytesSent=1536|"
                            "MemWS=3221225472|PacketVer=1")
        self.assertTrue(mock.wait_for(3, timeout=10), mock.received())
        for m in mock.received():
            self.assertIn("Session Count: 5", m["text"])
            self.assertIn("Request Count: 123.5 K", m["text"])
            self.assertIn("Bytes Sent: 1.5 KB", m["text"])
            self.assertIn("Memory Working Set: 3 GB", m["text"])
            self.assertNotIn("PacketVer", m["text"])
        chats = [m for m in mock.received() if m["channel"] != "email"]
        self.assertTrue(all(m["title"] == "Shop" and FENCE in m["text"] for m in chats))

    @unittest.skipUnless(os.path.exists(DEMO_APP), "demo application not built")
    def test_application_linking_the_client_library(self):
        service, mock = self.start(general={"IgnoreExceptions": "demo::IgnoredError"})
        subprocess.run([DEMO_APP, "--name", "Shop", "--log-folder", service.folders["Shop"],
                        "--status-channel", service.channel],
                       check=True, timeout=30)
        # One status report and one exception alert (not the ignored one) per channel.
        self.assertTrue(mock.wait_for(6, timeout=15), mock.received())
        texts = " ".join(m["text"] for m in mock.received())
        self.assertIn("Session Count", texts)
        self.assertNotIn("IgnoredError", texts)


class StatusSenderTest(ServiceTestCase):
    def test_python_sender_reaches_the_service_in_any_letter_case(self):
        # The service listens on a mixed-case name; the sender writes it in lower case.
        service, mock = self.start(channel=f"Vel_E2E_Sender_{os.getpid()}")
        app = 'Py "Shop"'
        subprocess.run([sys.executable, SENDER, "--channel", service.channel.lower(), "--app", app,
                        "--set", "SessionCount=5", "--set", "DT=Tuesday|noon"],
                       check=True, timeout=30)
        self.assertTrue(mock.wait_for(3, timeout=10), mock.received())
        for m in mock.received():
            self.assertIn("Date/Time: Tuesday|noon", m["text"])
            self.assertIn("Session Count: 5", m["text"])
            self.assertIn("Memory Working Set: ", m["text"])
        chats = [m for m in mock.received() if m["channel"] != "email"]
        self.assertTrue(all(m["title"] == app for m in chats), chats)


    def test_reader_rules_of_the_protocol_page(self):
        # No application configured: the master switch alone decides that reports are relayed.
        service, mock = self.start(apps=())
        service.send_status("AppName=Quoted| \"DT=a|b\"|RequestCount=0x10|MemWS=1610612736")
        service.send_status("RequestCount=1000000000|\"AppName=Open end|SessionCount=3")
        service.send_status("AppName=Big|Note=" + "x" * 4100)
        self.assertTrue(mock.wait_for(2, "telegram", timeout=10), mock.received())
        first, second = mock.received("telegram")
        self.assertEqual(first["title"], "Quoted")
        for shown in ("Date/Time: a|b", "Request Count: 16", "Memory Working Set: 1.5 GB"):
            self.assertIn(shown, first["text"])
        self.assertEqual(second["title"], "Open end")
        self.assertIn("Request Count: 1 G", second["text"])
        self.assertIn("Session Count: 3", second["text"])
        self.assertTrue(wait_until(lambda: "Dropped 1 status report" in service.diagnostic_log()),
                        service.diagnostic_log())


class StatusChannelTest(ServiceTestCase):
    def test_squatted_name_is_reported_and_taken_over_once_freed(self):
        channel = f"vel_e2e_squat_{os.getpid()}"
        squatter = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        squatter.bind(status_address(channel))
        try:
            service, mock = self.start(channel=channel)
            log = service.diagnostic_log
            self.assertTrue(wait_until(lambda: "held by another process" in log()), log())
            # The socket file in the service's own folder still reaches the service.
            subprocess.run([sys.executable, SENDER, "--channel", channel, "--app", "Early"],
                           env=dict(os.environ, VEL_STATUS_DIR=service.status_dir),
                           check=True, timeout=30)
            self.assertTrue(mock.wait_for(1, "telegram", timeout=10), mock.received())
        finally:
            squatter.close()
        self.assertTrue(wait_until(lambda: "is open again" in log()), log())
        service.send_status("AppName=Late")  # on the abstract name
        self.assertTrue(mock.wait_for(2, "telegram", timeout=10), mock.received())
        self.assertEqual(log().count("Error: Status channel"), 1, log())


class ChannelHealthTest(ServiceTestCase):
    def test_channel_switched_off_after_max_errors(self):
        service, mock = self.start(mock_args=("--fail", "telegram=500"),
                                   telegram={"MaxErrors": 2})
        for n in range(4):
            service.write_exception_log("Shop", f"e{n}.Log", exception_log(cls=f"E{n}"))
            self.assertTrue(mock.wait_for(n + 1, "discord"))
        line = "Disabling Telegram notification (Number of consecutive errors: 3)"
        self.assertTrue(wait_until(lambda: line in service.diagnostic_log()))
        log = service.diagnostic_log()
        errors = [l for l in log.splitlines() if " Error: TVelTelegram" in l]
        self.assertEqual(len(errors), 3, log)
        self.assertEqual(log.count("Disabling Telegram"), 1)
        self.assertNotIn("test-bot-token", log)
        self.assertEqual(mock.received("telegram"), [])

    def test_rate_limit_then_success_delivers_once(self):
        service, mock = self.start(mock_args=("--fail", "telegram=429:1", "--retry-after", "1"))
        service.write_exception_log("Shop", "limited.Log", exception_log())
        self.assertTrue(mock.wait_for(1, "telegram"))
        self.assertTrue(mock.wait_for(1, "email"))
        self.assertEqual(len(mock.received("telegram")), 1)
        self.assertNotIn("Error", service.diagnostic_log())

    def test_sigterm_during_a_hanging_delivery_exits_promptly(self):
        service, mock = self.start(mock_args=("--hang", "telegram"))
        service.write_exception_log("Shop", "hang.Log", exception_log())
        self.assertTrue(mock.wait_output("holding telegram"))  # the alert is mid-request
        code, seconds = service.stop()
        self.assertEqual(code, 0)
        # 3 s of grace for the delivery, then it is cancelled.
        self.assertLess(seconds, 8)
        self.assertNotIn("Disabling", service.diagnostic_log())


if __name__ == "__main__":
    unittest.main()

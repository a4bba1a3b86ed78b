"""The Windows installer under Wine's msiexec, in a copy of the private Wine prefix that is
thrown away afterwards: installed, upgraded in place by a package of a higher version, refused
as a downgrade, removed.

Environment: as test_windows_service.py, plus VEL_MSI (the package the build made) and
VEL_VERSION.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

import test_windows_service as svc
from test_windows_service import service_state, wine, winpath
from harness import wait_until

SOURCE_DIR = os.environ["VEL_SOURCE_DIR"]
BINARY_DIR = os.environ["VEL_BINARY_DIR"]
MSI = os.environ["VEL_MSI"]
VERSION = os.environ["VEL_VERSION"]
WINESERVER = os.path.join(os.path.dirname(svc.WINE), "wineserver")
SERVICE_KEY = svc.KEY
SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\velservermonitor"
# Files Wine only ever reads are linked into the copy; the registry and the rest are copied.
LINKED = (".dll", ".exe", ".nls", ".sys", ".drv", ".ocx", ".cpl", ".acm", ".tlb", ".ds", ".ax",
          ".com", ".msstyles")


def copy_prefix(src, dst):
    def copy(s, d):
        if s.endswith(LINKED):
            os.link(s, d)
        else:
            shutil.copy2(s, d)
    shutil.copytree(src, dst, symlinks=True, copy_function=copy)


def msi_property(msi, name):
    out = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True, text=True,
                         check=True).stdout
    return re.search(r"^%s\t(.*?)\r?$" % name, out, re.M).group(1)


def exe_product_version(path):
    """The ProductVersion string of a program's version resource (UTF-16 in the image)."""
    with open(path, "rb") as f:
        data = f.read()
    key = re.escape("ProductVersion\0".encode("utf-16-le"))
    m = re.search(key + rb"(?:\x00\x00)?((?:[0-9.]\x00)+)", data)
    return m.group(1).decode("utf-16-le") if m else None


def reg(key):
    return wine("reg", "query", key)


class MsiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(MSI):
            raise AssertionError(
                MSI + " is missing: the msi target builds it (wixl, msibuild: scripts/deps windows)")
        cls.work = tempfile.mkdtemp(prefix="vel-msi-", dir=BINARY_DIR)
        prefix = os.path.join(cls.work, "wineprefix")
        copy_prefix(os.environ["WINEPREFIX"], prefix)
        os.environ["WINEPREFIX"] = prefix
        # The prefix's own wineserver and services, started without our output pipes. Wine
        # ends its services when the last program ends and, like a boot, starts every automatic
        # service when they come back: a command prompt waiting for input keeps the session up,
        # so that a running service is one the installer started.
        cls.keeper = subprocess.Popen([svc.WINE, "cmd.exe"], stdin=subprocess.PIPE,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([svc.WINE, "wineboot"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        cls.drive_c = os.path.join(prefix, "drive_c")
        # The package of the next version, from the same build.
        major, minor, patch = VERSION.split(".")
        cls.next_version = "%s.%s.%d" % (major, minor, int(patch) + 1)
        cls.next_msi = os.path.join(cls.work, "next.msi")
        subprocess.run(["bash", os.path.join(SOURCE_DIR, "packaging", "windows", "build-msi.sh"),
                        BINARY_DIR, cls.next_version, cls.next_msi], check=True,
                       capture_output=True, timeout=300)

    @classmethod
    def tearDownClass(cls):
        cls.keeper.stdin.close()
        try:
            cls.keeper.wait(30)
        except subprocess.TimeoutExpired:
            cls.keeper.kill()
        subprocess.run([WINESERVER, "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], timeout=60)
        shutil.rmtree(cls.work, ignore_errors=True)

    def msiexec(self, *args):
        # Output to a file, not a pipe: the installer's helper process outlives msiexec while
        # the session is kept up, and would hold a pipe open.
        log = os.path.join(self.work, "msiexec.log")
        with open(os.path.join(self.work, "msiexec.out"), "w+b") as out:
            rc = subprocess.run([svc.WINE, "msiexec", *args, "/qn", "/l*v", winpath(log)],
                                stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                timeout=300).returncode
        with open(log, "rb") as f:
            raw = f.read()
        return rc, raw.decode("utf-16-le" if raw.startswith(b"\xff\xfe") else "utf-8", "replace")

    def c(self, *parts):
        return os.path.join(self.drive_c, *parts)

    def test_install_upgrade_refused_downgrade_and_removal(self):
        program = self.c("Program Files", "VelServerMonitor")
        config = self.c("ProgramData", "VelServerMonitor", "velservermonitor.ini")
        exe = os.path.join(program, "bin", "velservermonitor.exe")

        # Install: the service as --install registers it, started; the event source; the
        # example configuration in ProgramData and the log folder; no development files.
        rc, log = self.msiexec("/i", winpath(MSI))
        self.assertEqual(rc, 0, log[-3000:])
        _, key = reg(SERVICE_KEY)
        # Wine 8 writes the program's path without quotes.
        self.assertRegex(key, r'ImagePath\s+REG_(EXPAND_)?SZ\s+"?C:\\Program Files\\VelServerMonitor'
                              r'\\bin\\velservermonitor\.exe"? --config "C:\\ProgramData'
                              r'\\VelServerMonitor\\velservermonitor\.ini"')
        self.assertRegex(key, r"DisplayName\s+REG_SZ\s+Velmora Server Monitor\n")
        self.assertRegex(key, r"Description\s+REG_SZ\s+Velmora Server Monitor Service Application")
        self.assertRegex(key, r"Start\s+REG_DWORD\s+0x2\b")
        self.assertRegex(key, r"DependOnService\s+REG_MULTI_SZ\s+LanmanWorkstation")
        self.assertTrue(wait_until(lambda: service_state() == "RUNNING", timeout=30))
        _, source = reg(SOURCE_KEY)
        self.assertRegex(source, r"EventMessageFile\s+REG_(EXPAND_)?SZ\s+C:\\Program Files"
                                 r"\\VelServerMonitor\\bin\\velservermonitor\.exe\n")
        self.assertRegex(source, r"TypesSupported\s+REG_DWORD\s+0x7\b")
        with open(os.path.join(BINARY_DIR, "packaging", "velservermonitor.ini.example"), "rb") as f:
            example = f.read()
        with open(config, "rb") as f:
            self.assertEqual(f.read(), example)
        self.assertTrue(os.path.isdir(self.c("ProgramData", "VelServerMonitor", "Logs")))
        self.assertFalse(os.path.exists(os.path.join(program, "include")))
        self.assertEqual(exe_product_version(exe), msi_property(MSI, "ProductVersion"))
        self.assertEqual(msi_property(MSI, "ProductVersion"), VERSION)

        # Upgrade in place, the development files asked for: the edited configuration stays,
        # the service runs the new program, one product is registered.
        with open(config, "ab") as f:
            f.write(b"; edited by the operator\r\n")
        rc, log = self.msiexec("/i", winpath(self.next_msi), "ADDLOCAL=ALL")
        self.assertEqual(rc, 0, log[-3000:])
        with open(config, "rb") as f:
            self.assertEqual(f.read(), example + b"; edited by the operator\r\n")
        self.assertTrue(wait_until(lambda: service_state() == "RUNNING", timeout=30))
        self.assertTrue(os.path.isfile(os.path.join(
            program, "lib", "cmake", "VelServerMonitor", "VelServerMonitorConfig.cmake")))
        uninstall = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall" + "\\"
        self.assertNotEqual(reg(uninstall + msi_property(MSI, "ProductCode"))[0], 0)
        rc, entry = reg(uninstall + msi_property(self.next_msi, "ProductCode"))
        self.assertRegex(entry, r"DisplayVersion\s+REG_SZ\s+" + re.escape(self.next_version))

        # The older package is refused by its launch condition and changes nothing. (Wine's
        # log leaves out the condition's message.)
        rc, log = self.msiexec("/i", winpath(MSI))
        self.assertNotEqual(rc, 0)
        self.assertRegex(log, r"WIX_DOWNGRADE_DETECTED = \{")
        self.assertRegex(log, r"LaunchConditions\. Return value 0\.")
        self.assertEqual(service_state(), "RUNNING")

        # Removal: the service stopped and gone, the event source gone, the configuration kept.
        rc, log = self.msiexec("/x", winpath(self.next_msi))
        self.assertEqual(rc, 0, log[-3000:])
        self.assertIsNone(service_state())
        self.assertNotEqual(reg(SERVICE_KEY)[0], 0)
        self.assertNotEqual(reg(SOURCE_KEY)[0], 0)
        self.assertFalse(os.path.exists(exe))
        with open(config, "rb") as f:
            self.assertEqual(f.read(), example + b"; edited by the operator\r\n")

    def test_own_configuration_and_no_start(self):
        # CONFIG names the operator's file: the service runs with it, no example is copied;
        # START_SERVICE=0 leaves the service stopped.
        shutil.rmtree(self.c("ProgramData", "VelServerMonitor"), ignore_errors=True)
        own = os.path.join(self.work, "own.ini")
        with open(own, "w") as f:
            f.write("[General]\r\n")
        rc, log = self.msiexec("/i", winpath(self.next_msi), "CONFIG=" + winpath(own),
                               "START_SERVICE=0")
        self.assertEqual(rc, 0, log[-3000:])
        _, key = reg(SERVICE_KEY)
        self.assertIn('--config "%s"' % winpath(own), key)
        self.assertEqual(service_state(), "STOPPED")
        self.assertFalse(os.path.exists(self.c("ProgramData", "VelServerMonitor",
                                               "velservermonitor.ini")))


if __name__ == "__main__":
    unittest.main()

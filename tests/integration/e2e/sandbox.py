"""Runs the service under the sandbox of its systemd unit (packaging/velservermonitor.service),
as far as that can be done without systemd: the end-to-end tests then show that the hardened
service still does its work.

Applied: UMask, NoNewPrivileges, CapabilityBoundingSet, ProtectSystem, ProtectHome,
ProtectKernelTunables, ProtectControlGroups, ProtectKernelLogs (a private mount namespace with
read-only binds), and SystemCallFilter, SystemCallArchitectures, SystemCallErrorNumber,
RestrictAddressFamilies, MemoryDenyWriteExecute (a seccomp filter loaded by seccomp_exec.py,
which needs Debian's python3-seccomp). Not applied: PrivateTmp (the tests' folders are in
/tmp), PrivateDevices (the syslog tests replace /dev/log), and the settings that only systemd
itself can set up. None of it runs in sanitizer builds (LeakSanitizer needs ptrace), without
root or systemd-analyze, or when VEL_E2E_SANDBOX=0.
"""

import os
import shutil
import subprocess

SOURCE_DIR = os.environ["VEL_SOURCE_DIR"]
UNIT = os.path.join(SOURCE_DIR, "packaging", "velservermonitor.service")
HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"


def unit_settings(path=UNIT):
    """The [Service] settings of the unit: name -> list of values, in file order."""
    settings, section = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line[0] in "#;":
                continue
            if line.startswith("["):
                section = line
                continue
            if section == "[Service]" and "=" in line:
                key, value = line.split("=", 1)
                settings.setdefault(key, []).append(value)
    return settings


def _last(settings, key, default=""):
    return settings.get(key, [default])[-1]


def _mount_script(settings):
    ro = []
    system = _last(settings, "ProtectSystem", "no")
    if system in ("yes", "true", "full", "strict"):
        ro += ["/usr", "/boot", "/efi"]
    if system in ("full", "strict"):
        ro += ["/etc"]
    if system == "strict":
        raise RuntimeError("ProtectSystem=strict needs ReadWritePaths the tests would have to know")
    home = _last(settings, "ProtectHome", "no")
    if home == "read-only":
        ro += ["/home", "/root", "/run/user"]
    elif home in ("yes", "true", "tmpfs"):
        raise RuntimeError(f"ProtectHome={home} is not applied here")
    if _last(settings, "ProtectKernelTunables") == "yes":
        ro += ["/proc/sys", "/sys"]
    if _last(settings, "ProtectControlGroups") == "yes":
        ro += ["/sys/fs/cgroup"]
    lines = ["set -e"]
    for path in ro:
        lines.append(f'if [ -d {path} ]; then mount --rbind {path} {path}; '
                     f'mount -o remount,bind,ro {path}; fi')
    if _last(settings, "ProtectKernelLogs") == "yes":
        for path in ("/proc/kmsg", "/dev/kmsg"):
            lines.append(f"if [ -e {path} ]; then mount --bind /dev/null {path}; fi")
    umask = _last(settings, "UMask")
    if umask:
        lines.append(f"umask {umask}")
    lines.append('exec "$@"')
    return "\n".join(lines)


def _setpriv_args(settings):
    args = ["setpriv"]
    if _last(settings, "NoNewPrivileges") == "yes":
        args.append("--no-new-privs")
    caps = " ".join(settings.get("CapabilityBoundingSet", [])).split()
    if caps:
        names = ",".join("+" + c.lower().removeprefix("cap_") for c in caps)
        args += ["--bounding-set", "-all," + names, "--inh-caps", "-all"]
    return args


def _seccomp_available():
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import seccomp"], capture_output=True)
    return probe.returncode == 0


def _usable():
    if os.environ.get("VEL_E2E_SANDBOX", "1") == "0":
        return False
    if os.environ.get("VEL_SANITIZED", "0") == "1" or os.geteuid() != 0:
        return False
    if not (shutil.which("systemd-analyze") and shutil.which("setpriv")):
        return False
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"],
                           capture_output=True)
    return probe.returncode == 0 and _seccomp_available()


_prefix = None


def command_prefix():
    """The words that start a command under the unit's sandbox; () where it cannot be made."""
    global _prefix
    if _prefix is None:
        if not _usable():
            _prefix = ()
        else:
            settings = unit_settings()
            _prefix = ("unshare", "-m", "--propagation", "private", "sh", "-c",
                       _mount_script(settings), "sh", *_setpriv_args(settings),
                       SYSTEM_PYTHON, os.path.join(HERE, "seccomp_exec.py"), UNIT, "--")
    return _prefix

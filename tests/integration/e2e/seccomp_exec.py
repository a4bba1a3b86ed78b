"""seccomp_exec.py UNIT -- PROGRAM ARGS...: loads the system-call filter that the unit's
SystemCallFilter, SystemCallArchitectures, SystemCallErrorNumber, RestrictAddressFamilies and
MemoryDenyWriteExecute settings describe, then runs PROGRAM in its place. The groups
(@system-service) are expanded by systemd-analyze, so the filter holds what systemd's holds."""

import errno
import functools
import mmap
import os
import socket
import subprocess
import sys

import seccomp

from sandbox import unit_settings


@functools.cache
def expand(group):
    out = subprocess.run(["systemd-analyze", "syscall-filter", group], capture_output=True,
                         text=True, check=True).stdout
    names = set()
    for line in out.splitlines()[1:]:
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        names |= expand(line) if line.startswith("@") else {line}
    return frozenset(names)


def build_filter(settings):
    number = settings.get("SystemCallErrorNumber", ["EPERM"])[-1]
    deny = seccomp.ERRNO(getattr(errno, number))
    allowed = set()
    for value in settings.get("SystemCallFilter", []):
        if value.startswith("~"):
            raise SystemExit("deny-list filters are not applied here: " + value)
        for word in value.split():
            allowed |= expand(word) if word.startswith("@") else {word}
    if not allowed:
        return None
    f = seccomp.SyscallFilter(defaction=deny)  # the native architecture only
    families = [getattr(socket, name) for v in settings.get("RestrictAddressFamilies", [])
                for name in v.split()]
    no_wx = settings.get("MemoryDenyWriteExecute", ["no"])[-1] == "yes"
    for name in sorted(allowed):
        try:
            if name == "socket" and families:
                for family in families:
                    f.add_rule(seccomp.ALLOW, name, seccomp.Arg(0, seccomp.EQ, family))
            elif name in ("mmap", "mprotect", "pkey_mprotect") and no_wx:
                # Allowed unless the protection asks for writable and executable at once.
                for bit in (mmap.PROT_WRITE, mmap.PROT_EXEC):
                    f.add_rule(seccomp.ALLOW, name, seccomp.Arg(2, seccomp.MASKED_EQ, bit, 0))
            else:
                f.add_rule(seccomp.ALLOW, name)
        except (RuntimeError, ValueError):
            pass  # a name this libseccomp or architecture does not know
    return f


def main():
    unit, sep, *program = sys.argv[1:]
    if sep != "--" or not program:
        raise SystemExit(__doc__)
    settings = unit_settings(unit)
    f = build_filter(settings)
    if f is not None:
        f.load()
    os.execv(program[0], program)


if __name__ == "__main__":
    main()

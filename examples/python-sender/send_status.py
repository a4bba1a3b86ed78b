#!/usr/bin/env python3
"""Sends one status report to VelServerMonitor over its status channel (Linux).

The wire format is described in docs/status-protocol.md. As a program:

    send_status.py --app Shop --set SessionCount=12 --set RequestCount=3400

sends a report for the application "Shop" with the process's start and current time, its
memory figures and handle count, and the figures given with --set. As a module:

    import send_status
    send_status.send_report([("AppName", "Shop"), ("SessionCount", 12)])
"""

import argparse
import datetime
import locale
import os
import socket
import sys

DEFAULT_CHANNEL = "vel_servermonitor"
DEFAULT_STATUS_FOLDER = "/run/velservermonitor"
MAX_MESSAGE_BYTES = 8192  # 4096 UTF-16 code units
DELIMITER = "|"
STARTED = datetime.datetime.now()


def _lower_ascii(text):
    return "".join(c.lower() if "A" <= c <= "Z" else c for c in text)


def status_folder():
    """The folder of the service's socket file (VEL_STATUS_DIR, for a trial service)."""
    return os.environ.get("VEL_STATUS_DIR") or DEFAULT_STATUS_FOLDER


def channel_addresses(channel=DEFAULT_CHANNEL):
    """The addresses to try, in order: the socket file in the service's runtime folder, which
    only the service's user can have made, then the abstract name (NUL, then \\\\.\\mailslot\\
    and the name), both with the name's ASCII letters in lower case, as UTF-8."""
    name = _lower_ascii(channel)
    addresses = []
    if name not in ("", ".", "..") and "/" not in name:
        addresses.append(os.path.join(status_folder(), name).encode("utf-8"))
    addresses.append(b"\0" + ("\\\\.\\mailslot\\" + name).encode("utf-8"))
    return addresses


def format_item(key, value):
    """key=value, wrapped in double quotes (inner quotes doubled) when it holds a quote or
    the delimiter."""
    key = str(key)
    if not key.strip() or "=" in key:
        raise ValueError(f"a key must be non-blank and hold no '=': {key!r}")
    item = f"{key}={value}"
    if '"' in item or DELIMITER in item:
        item = '"' + item.replace('"', '""') + '"'
    return item


def format_report(pairs):
    """The message text of (key, value) pairs, in the order given."""
    return DELIMITER.join(format_item(k, v) for k, v in pairs)


def send_report(pairs, channel=DEFAULT_CHANNEL):
    """Sends one report; returns the bytes sent. Raises OSError when no service listens
    (ConnectionRefusedError) and ValueError when it is too large."""
    data = format_report(pairs).encode("utf-16-le")
    if len(data) > MAX_MESSAGE_BYTES:
        raise ValueError(f"report of {len(data)} bytes; the channel takes {MAX_MESSAGE_BYTES}")
    addresses = channel_addresses(channel)
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
        for address in addresses[:-1]:
            try:
                return s.sendto(data, address)
            except (FileNotFoundError, ConnectionRefusedError, PermissionError):
                pass  # no service there: one may listen on the abstract name
        return s.sendto(data, addresses[-1])


def display_time(moment):
    """The local date and time as the reader shows it: the locale's date, a space, its time;
    the date alone at exactly midnight."""
    if moment.time() == datetime.time(0):
        return moment.strftime("%x")
    return moment.strftime("%x %X")


def process_figures():
    """Handle count and memory figures of this process, from /proc (empty elsewhere)."""
    figures = []
    try:
        figures.append(("HandleCount", len(os.listdir("/proc/self/fd"))))
        status = {}
        with open("/proc/self/status") as f:
            for line in f:
                key, _, rest = line.partition(":")
                status[key] = rest.split()
        for key, field in (("MemWS", "VmRSS"), ("MemPWS", "VmHWM"), ("MemPF", "VmSize"),
                           ("MemPPF", "VmPeak")):
            if field in status:
                figures.append((key, int(status[field][0]) * 1024))
    except OSError:
        pass
    return figures


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--app", required=True, help="application name (AppName)")
    ap.add_argument("--channel", default=DEFAULT_CHANNEL,
                    help=f"status channel name (default {DEFAULT_CHANNEL})")
    ap.add_argument("--set", action="append", default=[], metavar="KEY=VALUE",
                    help="a further pair, such as SessionCount=12; may be repeated")
    args = ap.parse_args(argv)
    locale.setlocale(locale.LC_ALL, "")
    pairs = [("StartupTime", display_time(STARTED)),
             ("DT", display_time(datetime.datetime.now())),
             ("PacketVer", 1),
             ("AppName", args.app)]
    pairs += process_figures()
    for item in args.set:
        key, sep, value = item.partition("=")
        if not sep:
            ap.error(f"--set wants KEY=VALUE, not {item!r}")
        # The reader takes the first pair of a name, so a given pair replaces a default one.
        pairs = [(k, v) for k, v in pairs if k.lower() != key.strip().lower()]
        pairs.append((key, value))
    try:
        send_report(pairs, args.channel)
    except (OSError, ValueError) as e:
        print(f"send_status.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

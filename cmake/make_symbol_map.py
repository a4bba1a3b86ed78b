#!/usr/bin/env python3
"""Writes the symbol map of a linked Windows image: its functions by address, for the
exception-log writer, which names stack frames from it (Windows' DbgHelp reads no DWARF).

Usage: make_symbol_map.py NM IMAGE OUTPUT

Output, UTF-8 text, LF line ends:
  VELSYM 1 <TimeDateStamp hex> <SizeOfImage hex>    the image it belongs to
  <RVA hex> <demangled name>                        one per function, addresses ascending
"""
import struct
import subprocess
import sys


def pe_header(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE image")
    (stamp,) = struct.unpack_from("<I", data, pe + 8)
    opt = pe + 24
    (magic,) = struct.unpack_from("<H", data, opt)
    if magic == 0x20B:  # PE32+
        (base,) = struct.unpack_from("<Q", data, opt + 24)
    else:
        (base,) = struct.unpack_from("<I", data, opt + 28)
    (size,) = struct.unpack_from("<I", data, opt + 56)
    return stamp, size, base


def main():
    nm, image, output = sys.argv[1:4]
    stamp, size, base = pe_header(image)
    listing = subprocess.run([nm, "-C", "--defined-only", image], check=True,
                             capture_output=True, text=True, errors="replace").stdout
    functions = {}
    for line in listing.splitlines():
        parts = line.split(" ", 2)
        if len(parts) != 3 or parts[1] not in ("T", "t", "W", "w") or parts[2].startswith("."):
            continue
        rva = int(parts[0], 16) - base
        if 0 <= rva < size:
            functions.setdefault(rva, parts[2])  # of several names at one address, the first
    with open(output, "w", encoding="utf-8", newline="\n") as out:
        out.write(f"VELSYM 1 {stamp:X} {size:X}\n")
        for rva in sorted(functions):
            out.write(f"{rva:X} {functions[rva]}\n")


if __name__ == "__main__":
    main()

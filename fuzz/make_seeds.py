#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/ (run from anywhere).

BIN images are built here byte by byte (the format is small); module.toml examples are
those `imbrel-module create` writes, given as MODULE_DIRS (module directories) on the command
line: python3 fuzz/make_seeds.py /tmp/m1 /tmp/m2 ...
"""
import pathlib
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def bin_image(start, length, records, end=True, end_length=0, pad=b""):
    out = b"B000FF\n" + struct.pack("<II", start, length)
    for address, data, *checksum in records:
        out += struct.pack("<III", address, len(data), checksum[0] if checksum else sum(data))
        out += data
    if end:
        out += struct.pack("<III", 0, end_length, 0)
    return out + pad


def pattern(n, seed):
    return bytes((seed + i * 7 + (i >> 8)) & 0xFF for i in range(n))


def write(target, name, data):
    d = ROOT / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


def bin_seeds():
    # Odd lengths run quietly in fuzz_update_records, even ones with questions: a byte after
    # the end record (never read) turns one into the other.
    seeds = {
        "flash-offsets": bin_image(0x10000, 0x8000, [(0x10000, pattern(64, 1)),
                                                     (0x14000, pattern(0x4003, 2))]),
        "kernel-address": bin_image(0x80000000, 0x2000, [(0x80000000, pattern(0x100, 3)),
                                                         (0x80001000, pattern(9, 4))]),
        "boot-area": bin_image(0xBCA00000, 0x1000, [(0xBCA00000, pattern(0x200, 5))]),
        "bad-checksum": bin_image(0x20000, 0x100, [(0x20000, pattern(16, 6), 1)]),
        "cut-short": bin_image(0x20000, 0x100, [(0x20000, pattern(16, 7))])[:40],
        "no-end-record": bin_image(0x20000, 0x100, [(0x20000, pattern(16, 8))], end=False),
        "empty-records": bin_image(0x30000, 0x10, [(0x30000, b""), (0x30008, b"\x01")],
                                   end_length=5),
        "overlap": bin_image(0x30000, 0x40, [(0x30000, pattern(32, 9)),
                                             (0x30010, pattern(32, 10))]),
        "outside-flash": bin_image(0x7FF00, 0x200, [(0x7FF00, pattern(0x200, 11))]),
        "header-only": b"B000FF\n" + struct.pack("<II", 0, 0),
    }
    for name, data in seeds.items():
        for target in ("fuzz_bin_image", "fuzz_update_records"):
            write(target, name, data)
            write(target, name + "-pad", data + b"\x00")


def command_line_seeds():
    lines = {
        "update-restart": "/u \\USB HD\\IMAGES\\nk.bin /rc3000",
        "registry": "/fu /cu /f /c",
        "restart-warm": "/r",
        "restart-cold": "/rc",
        "restart-delay": "/rc500/f",
        "unsupported": "/x/F /",
        "update-empty": "/u /f",
        "path-spaces": "/u x  y /r",
        "many": "/f " * 21,
        "long-path": "/u \\" + "a" * 300 + " /f",
    }
    for name, line in lines.items():
        write("fuzz_command_line", name, line.encode("utf-16-le"))


FAULTS = {
    "nor-faults": '[[nor]]\nkind = "erase-error"\nblock = 0x10000\nchip = "low"\n'
                  '[[nor]]\nkind = "locked-down"\nblock = 0\n',
    "registry-faults": '[registry]\nopen = "fail"\nflush = 29\n'
                       '[platform]\nregistry_clear = "fail"\nconfig_set = "fail"\n',
    "nand-faults": '[[nand]]\nkind = "bit-flip"\npage = 64\nbyte = 2050\nbit = 3\n'
                   '[[nand]]\nkind = "never-ready"\nchip_select = 0\n',
}


def module_config_seeds(dirs):
    for n, d in enumerate(dirs):
        d = pathlib.Path(d)
        module = (d / "module.toml").read_bytes()
        faults = (d / "faults.toml").read_bytes()
        write("fuzz_module_config", f"created-{n}", module + b"\0" + faults)
        for name, text in FAULTS.items():
            write("fuzz_module_config", f"created-{n}-{name}", module + b"\0" + text.encode())


if __name__ == "__main__":
    bin_seeds()
    command_line_seeds()
    module_config_seeds(sys.argv[1:])

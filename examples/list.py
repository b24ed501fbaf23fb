#!/usr/bin/env python3
"""list.py: prints the entries of a QZN archive through the shared library, as list.c does.

    python3 list.py archive.qzn

The library is libqzn.so.1 (qzn.dll on Windows) from the system's search path, or the file that
the environment variable QZN_LIBRARY names (a library installed below some prefix)."""
import ctypes
import os
import sys


class Entry(ctypes.Structure):
    # qzn_entry of qzn.h, field for field.
    _fields_ = [
        ("path", ctypes.c_char_p),
        ("name", ctypes.c_char_p),
        ("size", ctypes.c_uint64),
        ("crc32", ctypes.c_uint32),
        ("is_folder", ctypes.c_int),
        ("copy_of", ctypes.c_int64),
        ("parent", ctypes.c_int64),
    ]


def load():
    name = os.environ.get("QZN_LIBRARY") or ("qzn.dll" if os.name == "nt" else "libqzn.so.1")
    lib = ctypes.CDLL(name)
    lib.qzn_version_string.restype = ctypes.c_char_p
    lib.qzn_version_string.argtypes = []
    lib.qzn_status_string.restype = ctypes.c_char_p
    lib.qzn_status_string.argtypes = [ctypes.c_int]
    lib.qzn_last_error_message.restype = ctypes.c_char_p
    lib.qzn_last_error_message.argtypes = []
    # NULL options: the defaults.
    lib.qzn_open_path.restype = ctypes.c_int
    lib.qzn_open_path.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p)]
    lib.qzn_close.restype = None
    lib.qzn_close.argtypes = [ctypes.c_void_p]
    lib.qzn_entry_count.restype = ctypes.c_uint64
    lib.qzn_entry_count.argtypes = [ctypes.c_void_p]
    lib.qzn_entry_get.restype = ctypes.c_int
    lib.qzn_entry_get.argtypes = [ctypes.c_void_p, ctypes.c_uint64, ctypes.POINTER(Entry)]
    return lib


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: list.py archive\n")
        return 2
    lib = load()
    path = os.fsencode(sys.argv[1])
    archive = ctypes.c_void_p()
    status = lib.qzn_open_path(path, None, ctypes.byref(archive))
    if status != 0:
        message = lib.qzn_last_error_message().decode("utf-8", "replace")
        sys.stderr.write("%s: %s (%s)\n" % (sys.argv[1], message,
                                           lib.qzn_status_string(status).decode()))
        return 1
    out = sys.stdout.buffer  # stored paths are bytes (UTF-8 on Windows)
    try:
        entry = Entry()
        for index in range(lib.qzn_entry_count(archive)):
            status = lib.qzn_entry_get(archive, index, ctypes.byref(entry))
            if status != 0:
                message = lib.qzn_last_error_message().decode("utf-8", "replace")
                sys.stderr.write("%s: %s\n" % (sys.argv[1], message))
                return 1
            if entry.is_folder:
                out.write(entry.path + b"/\t-\t-\n")
            else:
                out.write(entry.path + b"\t%d\t%08X\n" % (entry.size, entry.crc32))
    finally:
        lib.qzn_close(archive)
    return 0


if __name__ == "__main__":
    sys.exit(main())

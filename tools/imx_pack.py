#!/usr/bin/env python3
"""Packs a bundle directory into an IMX version 2 container.

    imx_pack.py BUNDLE_DIR OUT_FILE [options]

Every regular file under BUNDLE_DIR becomes a member named by its relative
path ("/" separators), sorted by name. The options below build deliberately
broken containers for the reader's refusal tests:

  --member NAME=FILE      add a member with exactly this name (no checks, so
                          "../x", "/etc/x", "\\x" or "" are allowed) holding
                          FILE's bytes; NAME may use backslash escapes
                          (\\x00, \\\\) when --escape-names is given
  --data NAME=TEXT        same, with the payload given inline
  --exclude NAME          leave this member of BUNDLE_DIR out (repeatable)
  --version N             header version (default 2)
  --magic TEXT            4-byte magic (default "IMX\\0"; escapes allowed)
  --count N               declared member count (default: the real count)
  --scatter               payloads out of order and unaligned, with gaps
  --truncate N            cut the file to N bytes (negative: drop N bytes)
  --offset-delta NAME=N   add N to one member's recorded offset
  --size-delta NAME=N     add N to one member's recorded size

BUNDLE_DIR may be "-" for a container holding only --member/--data entries.
"""
import argparse
import codecs
import os
import sys

from bundlegen import imx


def _unescape(text, escapes):
    if not escapes:
        return text.encode("utf-8")
    return codecs.escape_decode(text.encode("utf-8"))[0]


def _split(arg, option):
    if "=" not in arg:
        raise ValueError("%s expects NAME=VALUE, got %r" % (option, arg))
    # Split at the last "=" so names may themselves contain "=".
    name, value = arg.rsplit("=", 1)
    return name, value


def _int(text, option):
    try:
        return int(text, 0)
    except ValueError:
        raise ValueError("%s expects an integer, got %r" % (option, text))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("bundle_dir")
    p.add_argument("out_file")
    p.add_argument("--member", action="append", default=[])
    p.add_argument("--data", action="append", default=[])
    p.add_argument("--exclude", action="append", default=[])
    p.add_argument("--escape-names", action="store_true")
    p.add_argument("--version", default="2")
    p.add_argument("--magic", default=None)
    p.add_argument("--count", default=None)
    p.add_argument("--scatter", action="store_true")
    p.add_argument("--truncate", default=None)
    p.add_argument("--offset-delta", action="append", default=[])
    p.add_argument("--size-delta", action="append", default=[])
    a = p.parse_args(argv)
    try:
        members = [] if a.bundle_dir == "-" else imx.members_of_dir(a.bundle_dir, set(a.exclude))
        out_abs = os.path.abspath(a.out_file)
        members = [m for m in members if m.path is None or os.path.abspath(m.path) != out_abs]
        for arg in a.member:
            name, path = _split(arg, "--member")
            if not os.path.isfile(path):
                raise ValueError("--member %s: payload file %s does not exist" % (name, path))
            members.append(imx.Member(_unescape(name, a.escape_names), path=path))
        for arg in a.data:
            name, text = _split(arg, "--data")
            members.append(imx.Member(_unescape(name, a.escape_names), data=text.encode("utf-8")))
        deltas = {}
        for option, values in (("--offset-delta", a.offset_delta), ("--size-delta", a.size_delta)):
            d = {}
            for arg in values:
                name, n = _split(arg, option)
                key = _unescape(name, a.escape_names)
                if not any(m.name == key for m in members):
                    raise ValueError("%s names member %r, which is not in the container" % (option, name))
                d[key] = _int(n, option)
            deltas[option] = d
        magic = imx.MAGIC if a.magic is None else _unescape(a.magic, True)
        imx.pack(members, a.out_file,
                 version=_int(a.version, "--version"),
                 magic=magic,
                 count=None if a.count is None else _int(a.count, "--count"),
                 scatter=a.scatter,
                 truncate=None if a.truncate is None else _int(a.truncate, "--truncate"),
                 offset_delta=deltas["--offset-delta"],
                 size_delta=deltas["--size-delta"])
    except (ValueError, OSError) as e:
        print("imx_pack.py: %s" % e, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())

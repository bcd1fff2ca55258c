#!/usr/bin/env python3
"""Checks imx_pack.py: the container layout, and that each forging option
produces exactly the hostile container it promises."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PACK = os.path.join(HERE, "imx_pack.py")


def read_container(data):
    """A tiny independent reader: (version, declared count, [(name, offset, size)])."""
    magic, version, count = data[:4], *struct.unpack("<HH", data[4:8])
    assert magic == b"IMX\0", magic
    pos, toc = 8, []
    for _ in range(count):
        (n,) = struct.unpack("<H", data[pos:pos + 2])
        name = data[pos + 2:pos + 2 + n]
        off, size = struct.unpack("<QQ", data[pos + 2 + n:pos + 18 + n])
        toc.append((name, off, size))
        pos += 18 + n
    return version, count, toc


class ImxPack(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="imx_pack_test_")
        self.dir = os.path.join(self.tmp, "b")
        os.makedirs(os.path.join(self.dir, "drive"))
        self.files = {"manifest.json": b'{"format": "le-bundle-v0"}',
                      "drive/xs.f32": bytes(range(256)) * 3, "M.f32": b"\x01\x02\x03"}
        for name, data in self.files.items():
            with open(os.path.join(self.dir, name), "wb") as f:
                f.write(data)
        self.out = os.path.join(self.tmp, "b.imx")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def pack(self, *args, src=None, check=True):
        r = subprocess.run([sys.executable, PACK, src or self.dir, self.out] + list(args),
                           capture_output=True, text=True)
        if check:
            self.assertEqual(r.returncode, 0, r.stderr)
        return r

    def container(self):
        with open(self.out, "rb") as f:
            return f.read()

    def payloads(self, data):
        return {name: data[off:off + size] for name, off, size in read_container(data)[2]}

    def test_directory_round_trips_in_sorted_order(self):
        self.pack()
        data = self.container()
        version, count, toc = read_container(data)
        self.assertEqual((version, count), (2, 3))
        self.assertEqual([t[0] for t in toc], [b"M.f32", b"drive/xs.f32", b"manifest.json"])
        self.assertEqual(self.payloads(data), {k.encode(): v for k, v in self.files.items()})
        # Payloads follow the table back to back, and nothing trails them.
        self.assertEqual(toc[0][1], 8 + sum(18 + len(t[0]) for t in toc))
        self.assertEqual(len(data), toc[-1][1] + toc[-1][2])

    def test_scatter_keeps_content_but_breaks_order_and_alignment(self):
        self.pack("--scatter")
        data = self.container()
        toc = read_container(data)[2]
        self.assertEqual(self.payloads(data), {k.encode(): v for k, v in self.files.items()})
        offsets = [t[1] for t in toc]
        self.assertEqual(offsets, sorted(offsets, reverse=True))
        self.assertTrue(any(o % 2 for o in offsets))

    def test_unsafe_names_are_packed_verbatim(self):
        self.pack("--data", "../evil=x", "--member", "/etc/x=" + os.path.join(self.dir, "M.f32"),
                  "--data", "\\\\x=y", "--data", "=z", "--data", "a\\x00b=w", "--escape-names")
        names = [t[0] for t in read_container(self.container())[2]]
        for name in (b"../evil", b"/etc/x", b"\\x", b"", b"a\x00b"):
            self.assertIn(name, names)
        self.assertEqual(self.payloads(self.container())[b"/etc/x"], self.files["M.f32"])

    def test_forged_headers_and_tables(self):
        self.pack("--version", "3", "--count", "5")
        data = self.container()
        self.assertEqual(struct.unpack("<HH", data[4:8]), (3, 5))
        self.pack("--magic", "IMY\\x00")
        self.assertEqual(self.container()[:4], b"IMY\0")
        self.pack("--truncate", "-1")
        data = self.container()
        toc = read_container(data)[2]
        full_len = toc[-1][1] + toc[-1][2]
        self.assertEqual(len(data), full_len - 1)
        self.pack("--truncate", "10")
        self.assertEqual(len(self.container()), 10)
        self.pack("--size-delta", "M.f32=100", "--offset-delta", "manifest.json=1000000")
        toc = {t[0]: t for t in read_container(self.container())[2]}
        self.assertEqual(toc[b"M.f32"][2], 103)
        self.assertGreater(toc[b"manifest.json"][1], len(self.container()))

    def test_member_only_container_and_bad_arguments(self):
        self.pack("--data", "manifest.json=_imx_synthetic_manifest", src="-")
        self.assertEqual(self.payloads(self.container()), {b"manifest.json": b"_imx_synthetic_manifest"})
        for args, text in ((["--size-delta", "nope=1"], "nope"), (["--version", "x"], "--version"),
                           (["--magic", "IM"], "4 bytes"), (["--member", "a=/no/such"], "/no/such")):
            r = self.pack(*args, check=False)
            self.assertEqual(r.returncode, 2, args)
            self.assertIn(text, r.stderr, args)
        r = self.pack(src=os.path.join(self.tmp, "missing"), check=False)
        self.assertIn("missing", r.stderr)
        # A pack refused after its header was written leaves no partial file.
        r = self.pack("--offset-delta", "manifest.json=-99999999", check=False)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertEqual([n for n in os.listdir(self.tmp) if n.endswith(".part")], [])


if __name__ == "__main__":
    unittest.main()

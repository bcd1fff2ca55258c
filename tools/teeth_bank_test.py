#!/usr/bin/env python3
"""The generated teeth bank through the engine's own teeth pass: a mouth the
director closes for an "m" stays closed, an open mouth gets teeth.

Needs the demo bundle with its director (LE_DEMO_BUNDLE, a real face whose
idle mouth shows its teeth) and the engine library (LE_FACECORE)."""
import ctypes
import json
import os
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import tessera_members  # noqa: E402
from bundlegen import teeth_bank  # noqa: E402

STAMP_KEYS = tessera_members.STAMP_KEYS


def teeth_pixels(window, mask):
    """Pixels under the mouth mask that look like teeth: bright and nearly
    grey (the face's skin is bright too, but much redder than green or
    blue)."""
    w = window.astype(int)
    return int(((w.min(axis=-1) > 185) & (w.max(axis=-1) - w.min(axis=-1) < 45) & (mask >= 128)).sum())


class TeethPass:
    """le_tessera_run over in-memory donors and frames."""

    def __init__(self, lib, bank, head_pt, head_json):
        self.lib, self.bank = lib, bank
        self.head_pt, self.head_json = head_pt, head_json.encode()
        g = bank["geometry"]
        self.stamp = np.array([g[k] for k in STAMP_KEYS], np.int32)
        self.bands = np.ascontiguousarray(np.stack(bank["donors"]))
        self.cent = np.array(bank["cent"], np.float64)
        self.aperture = np.array(bank["aperture"], np.float64)
        self.c_canon = np.array(bank["c_canon"], np.float64)

    def run(self, canvases, masks):
        g = self.bank["geometry"]
        canvases, masks = np.ascontiguousarray(canvases), np.ascontiguousarray(masks)
        n = canvases.shape[0]
        out = np.zeros((n, g["window_h"], g["window_w"], 3), np.uint8)
        skipped = np.zeros(n, np.uint8)
        err = ctypes.create_string_buffer(2048)
        p = lambda a: a.ctypes.data_as(ctypes.c_void_p)
        rc = self.lib.le_tessera_run(
            p(self.bands), ctypes.c_int(len(self.aperture)), p(self.cent), p(self.c_canon), p(self.aperture),
            p(self.stamp), ctypes.c_char_p(self.head_json), ctypes.c_char_p(self.head_pt),
            ctypes.c_size_t(len(self.head_pt)), p(canvases), p(masks), ctypes.c_int(n), p(out), p(skipped),
            err, ctypes.c_size_t(len(err)))
        if rc != 0:
            raise RuntimeError("le_tessera_run failed: " + err.value.decode())
        return out, skipped


@unittest.skipUnless(os.environ.get("LE_DEMO_BUNDLE") and os.environ.get("LE_FACECORE"),
                     "set LE_DEMO_BUNDLE and LE_FACECORE")
class ClosedMouthKeepsItsLips(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        demo = os.environ["LE_DEMO_BUNDLE"]
        with open(os.path.join(demo, "manifest.json")) as f:
            cls.s = s = json.load(f)["crop"]
        kps = np.fromfile(os.path.join(demo, "xs_target.bin"), "<f4").reshape(-1, 21, 3)
        nt = kps.shape[0]
        planes = np.fromfile(os.path.join(demo, "P.f16"), "<f2").reshape(nt, 3, s, s)
        crops = np.clip(np.rint(planes.transpose(0, 2, 3, 1).astype(np.float32) * 255), 0, 255).astype(np.uint8)
        # A few source frames are enough: the donors' mouths differ by
        # their opening, not by the frame they were cut from.
        cls.crops, cls.kps = crops[:4], kps[:4]
        cls.rows = teeth_bank._CORNERS + teeth_bank._UPPER + teeth_bank._LOWER
        bank = teeth_bank.build(cls.crops, cls.kps, 96, cls.rows)
        with tempfile.TemporaryDirectory() as tmp:
            pt = os.path.join(tmp, "head.pt")
            tessera_members.write_head_pt(pt)
            with open(pt, "rb") as f:
                head_pt = f.read()
        cls.g = bank["geometry"]
        lib = ctypes.CDLL(os.environ["LE_FACECORE"])
        cls.teeth = TeethPass(lib, bank, head_pt, json.dumps(tessera_members.head_config()))
        lib.le_create.restype = ctypes.c_void_p
        lib.le_create.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]
        lib.le_render_kp_crop.restype = ctypes.POINTER(ctypes.c_float)
        lib.le_render_kp_crop.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p]
        lib.le_destroy.argtypes = [ctypes.c_void_p]
        cls.lib = lib
        cls.ctx = lib.le_create(demo.encode(), b"b1_fp32", 2, None)
        if not cls.ctx:
            raise RuntimeError("Cannot open the demo bundle's director in " + demo + ".")

    @classmethod
    def tearDownClass(cls):
        cls.lib.le_destroy(cls.ctx)

    def director(self, src, xd):
        """The director's crop of source frame src driven to keypoints xd."""
        xs = np.ascontiguousarray(self.kps[src], np.float32)
        xd = np.ascontiguousarray(xd, np.float32)
        p = self.lib.le_render_kp_crop(self.ctx, src, xs.ctypes.data, xd.ctypes.data)
        self.assertTrue(p, "the director rendered nothing")
        a = np.ctypeslib.as_array(p, shape=(3 * self.s * self.s,)).reshape(3, self.s, self.s).transpose(1, 2, 0)
        return np.clip(np.rint(a * 255), 0, 255).astype(np.uint8)

    def window(self, canvas):
        g = self.g
        return canvas[g["window_y0"]:g["window_y0"] + g["window_h"], g["window_x0"]:g["window_x0"] + g["window_w"]]

    def mask(self, kp):
        return teeth_bank.pi_mask(kp, self.s, self.rows, teeth_bank.CORPUS_V1)

    def teeth_before_after(self, canvas, kp):
        """Teeth pixels of the canvas's mouth window before and after the
        pass."""
        mask = self.mask(kp)
        out, skipped = self.teeth.run(canvas[None], mask[None])
        self.assertEqual(skipped[0], 0)
        m = self.window(mask)
        return teeth_pixels(self.window(canvas), m), teeth_pixels(out[0], m)

    def test_closure_keeps_the_lips_and_an_open_mouth_gets_teeth(self):
        crop, kp = self.crops[1], self.kps[1]
        idle, _ = self.teeth_before_after(crop, kp)
        self.assertGreater(idle, 100, "the demo's idle mouth should show its teeth")
        # An "m" as the director draws it: inner lips driven to the mouth
        # line, plainly and with the corners spread and lifted as in a
        # smile (the case a bank of painted closures lost to the idle smile).
        gap = kp[20, 1] - kp[19, 1]
        for spread, lift in ((0.0, 0.0), (0.06, -0.02)):
            xd = kp.copy()
            xd[list(teeth_bank._UPPER), 1] += gap / 2
            xd[list(teeth_bank._LOWER), 1] -= gap / 2
            xd[6, 0] -= spread
            xd[12, 0] += spread
            xd[[6, 12], 1] += lift
            before, after = self.teeth_before_after(self.director(1, xd), xd)
            self.assertLess(before, idle / 2, "the director's closure itself shows teeth")
            self.assertLessEqual(after, before + idle // 10,
                                 "teeth over closed lips (spread %.2f): %d before, %d after, idle %d"
                                 % (spread, before, after, idle))
        opened = teeth_bank.opened_keypoints(kp, 0.9, self.s)
        _, wide = self.teeth_before_after(teeth_bank.paint_open_mouth(crop, kp, 0.9), opened)
        self.assertGreater(wide, idle // 2)


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/env python3
"""Checks the synthetic bundle generator's output against the bundle format:
member sizes implied by the manifest, video streams, the paste transform's
direction, determinism, and every damage option."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE = os.path.join(HERE, "make_bundle.py")


def make(out, *args, check=True):
    r = subprocess.run([sys.executable, MAKE, "--preset", "tiny", "--out", out, "--quiet"] + list(args),
                       capture_output=True, text=True)
    if check and r.returncode != 0:
        raise AssertionError("make_bundle.py failed: %s" % r.stderr)
    return r


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames",
                          "-show_entries", "stream=nb_read_frames,nb_frames,width,height,pix_fmt,codec_name",
                          "-of", "json", path], check=True, capture_output=True, text=True).stdout
    s = json.loads(out)["streams"][0]
    return {k: (int(v) if isinstance(v, str) and v.isdigit() else v) for k, v in s.items()}


def decode_rgb(path, w, h):
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, h, w, 3)


def bilinear(img, x, y):
    """Plain bilinear sample of an HxWxC image at pixel-centre coordinates
    (callers keep them inside the image)."""
    h, w = img.shape[:2]
    x0 = np.clip(np.floor(x).astype(int), 0, w - 2)
    y0 = np.clip(np.floor(y).astype(int), 0, h - 2)
    fx, fy = (x - x0)[..., None], (y - y0)[..., None]
    img = img.astype(np.float64)
    top = img[y0, x0] * (1 - fx) + img[y0, x0 + 1] * fx
    bot = img[y0 + 1, x0] * (1 - fx) + img[y0 + 1, x0 + 1] * fx
    return top * (1 - fy) + bot * fy


def load(bundle):
    with open(os.path.join(bundle, "manifest.json")) as f:
        m = json.load(f)
    nt, crop, frames = m["NT"], m["crop"], m["frames"]

    def arr(name, dtype, shape):
        return np.fromfile(os.path.join(bundle, name), dtype=dtype).reshape(shape)

    return m, {
        "M": arr("M.f32", "<f4", (nt, 2, 3)).astype(np.float64),
        "P": arr("P.f16", "<f2", (nt, 3, crop, crop)).astype(np.float32),
        "mask": arr("mask_512.u8", np.uint8, (crop, crop)),
        "xs": arr("drive/xs.f32", "<f4", (frames, 21, 3)),
        "xd": arr("drive/xd.f32", "<f4", (frames, 21, 3)),
        "si": arr("drive/si.i32", "<i4", (frames,)),
        "target": arr("xs_target.bin", "<f4", (nt, 21, 3)),
    }


class TinyBundle(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="bundlegen_test_")
        cls.dir = os.path.join(cls.tmp, "tiny")
        make(cls.dir)
        cls.m, cls.a = load(cls.dir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_every_array_has_the_size_the_manifest_implies(self):
        nt, crop, frames = self.m["NT"], self.m["crop"], self.m["frames"]
        expected = {
            "pooled64.f16": nt * 131072, "P.f16": nt * crop * crop * 6, "fs_red.f16": nt * 524288,
            "M.f32": nt * 24, "drive/xs.f32": frames * 252, "drive/xd.f32": frames * 252,
            "drive/si.i32": frames * 4, "xs_target.bin": nt * 252, "mask_512.u8": crop * crop,
        }
        for name, size in expected.items():
            self.assertEqual(os.path.getsize(self.path(name)), size, name)

    def test_manifest_states_every_loader_key_once_at_the_root(self):
        m = self.m
        self.assertEqual(m["format"], "le-bundle-v0")
        self.assertIsInstance(m["agent"], str)
        self.assertEqual((m["W"], m["H"], m["crop"], m["NT"]), (160, 120, 64, 12))
        self.assertEqual((m["M_src_w"], m["M_src_h"]), (m["W"], m["H"]))
        self.assertEqual(m["ksize"] % 2, 1)
        with open(self.path("manifest.json")) as f:
            text = f.read()
        # The engine finds keys at any depth: nested blocks must not repeat them.
        for key in ("NT", "H", "W", "crop", "amount", "sigma", "ksize", "frames", "M_src_w", "M_src_h",
                    "agent", "format"):
            self.assertEqual(text.count('"%s"' % key), 1 if key != "crop" else 2, key)
        pi = m["unified"]["pi"]
        self.assertEqual(m["unified"]["crop"]["canvas"], m["crop"])
        self.assertEqual(pi["mode"], "prop")
        self.assertEqual(sorted(pi["lip_idx"]), [6, 12, 14, 17, 19, 20])
        self.assertEqual(len(pi["lip_geom_params"]), 3)
        with open(self.path("lip_template.v1.json")) as f:
            lip = json.load(f)
        self.assertEqual(lip["format"], "lip-template-v1")
        self.assertEqual(lip["canvas"], m["crop"])
        self.assertGreater(lip["feather_px"], 0)
        self.assertTrue(all(len(v) == 2 for v in lip["u_canon"]))
        self.assertEqual(sorted(lip["lip_idx"]), [6, 12, 14, 17, 19, 20])

    def test_videos_carry_nt_frames_of_the_declared_size_and_format(self):
        m = self.m
        mp4 = probe(self.path("target_frames.mp4"))
        self.assertEqual((mp4["codec_name"], mp4["pix_fmt"]), ("h264", "yuv420p"))
        self.assertEqual((mp4["width"], mp4["height"], mp4["nb_frames"], mp4["nb_read_frames"]),
                         (m["W"], m["H"], m["NT"], m["NT"]))
        prior = probe(self.path("P_hevc.mov"))
        self.assertEqual((prior["codec_name"], prior["pix_fmt"]), ("hevc", "yuv444p"))
        self.assertEqual((prior["width"], prior["height"], prior["nb_read_frames"]), (m["crop"], m["crop"], m["NT"]))
        files = sorted(os.listdir(self.path("target_frames")))
        self.assertEqual(files, ["frame_%06d.jpg" % i for i in range(m["NT"])])
        for f in files:
            with Image.open(self.path("target_frames/" + f)) as im:
                self.assertEqual(im.size, (m["W"], m["H"]))

    def test_prior_video_decodes_to_the_raw_prior(self):
        crop = self.m["crop"]
        frames = decode_rgb(self.path("P_hevc.mov"), crop, crop).astype(np.float32)
        raw = self.a["P"].transpose(0, 2, 3, 1) * 255
        self.assertLess(np.abs(frames - raw).mean(), 2.0)

    def test_paste_transform_puts_the_crop_back_where_it_was_cut(self):
        m, a = self.m, self.a
        crop, w, h = m["crop"], m["W"], m["H"]
        for t in (0, m["NT"] // 2, m["NT"] - 1):
            with Image.open(self.path("target_frames/frame_%06d.jpg" % t)) as im:
                frame = np.asarray(im.convert("RGB"), np.float64)
            M = a["M"][t]
            # Cut: crop pixel (u, v) is the frame at M (u, v). It must match
            # the raw prior, which is the bundle's own crop of that frame.
            v, u = np.mgrid[0:crop, 0:crop].astype(np.float64)
            cut = bilinear(frame, M[0, 0] * u + M[0, 1] * v + M[0, 2], M[1, 0] * u + M[1, 1] * v + M[1, 2])
            self.assertLess(np.abs(cut - a["P"][t].transpose(1, 2, 0) * 255).mean(), 3.0, t)
            # Paste back: frame pixel (X, Y) samples the bundle's crop at
            # M^-1 (X, Y); inside the opaque mask that reproduces the frame up
            # to resampling blur and JPEG noise (a one-pixel error in M
            # measures 12 / 88 here).
            inv = np.linalg.inv(np.vstack([M, [0, 0, 1]]))
            Y, X = np.mgrid[0:h, 0:w].astype(np.float64)
            cu = inv[0, 0] * X + inv[0, 1] * Y + inv[0, 2]
            cv = inv[1, 0] * X + inv[1, 1] * Y + inv[1, 2]
            inside = (cu >= 0) & (cu <= crop - 1) & (cv >= 0) & (cv <= crop - 1)
            alpha = np.zeros((h, w))
            alpha[inside] = bilinear(a["mask"][..., None], cu[inside], cv[inside])[:, 0]
            face = alpha >= 254.5
            self.assertGreater(face.sum(), crop * crop // 4)
            back = bilinear(a["P"][t].transpose(1, 2, 0) * 255, cu[face], cv[face])
            err = np.abs(back - frame[face])
            self.assertLess(err.mean(), 6.0, t)
            self.assertLess(np.percentile(err, 99), 40, t)

    def test_keypoints_follow_the_face_in_crop_space(self):
        a, crop = self.a, self.m["crop"]
        kp = a["target"]
        self.assertTrue(np.all(np.abs(kp) <= 1))
        lips = [6, 12, 14, 17, 19, 20]
        mx, my = kp[:, lips, 0].mean(), kp[:, lips, 1].mean()
        self.assertGreater(my, 0.1)            # mouth in the lower half
        self.assertLess(abs(mx), 0.15)         # and centred
        self.assertTrue(np.all(kp[:, 6, 0] < kp[:, 12, 0]))   # left corner left of right
        self.assertTrue(np.all(kp[:, 14, 1] < kp[:, 17, 1]))  # upper lip above lower
        # Lip keypoints land inside the opaque part of the paste mask.
        px = np.rint((kp[:, lips, :2] + 1) * crop / 2).astype(int)
        self.assertTrue(np.all(a["mask"][px[..., 1], px[..., 0]] == 255))
        # The face moves within the crop a little (the crop lags the head).
        self.assertGreater(np.abs(kp - kp[0]).max(), 1e-3)
        # Drive data: an idle loop over the target keypoints, mouth moving.
        np.testing.assert_array_equal(a["si"], np.arange(len(a["si"])) % self.m["NT"])
        np.testing.assert_array_equal(a["xs"], kp[a["si"]])
        moved = np.abs(a["xd"] - a["xs"]).max(axis=(0, 2))
        self.assertTrue(np.all(moved[[r for r in range(21) if r not in lips]] == 0))
        self.assertGreater(moved[lips].min(), 0)

    def test_same_seed_gives_the_same_bytes_and_another_seed_does_not(self):
        again = os.path.join(self.tmp, "again")
        make(again)
        names = []
        for root, _, files in os.walk(self.dir):
            names += [os.path.relpath(os.path.join(root, f), self.dir) for f in files]
        self.assertGreater(len(names), 20)
        for name in names:
            with open(self.path(name), "rb") as f1, open(os.path.join(again, name), "rb") as f2:
                self.assertEqual(f1.read(), f2.read(), name)
        other = os.path.join(self.tmp, "other")
        make(other, "--seed", "2", "--omit", "target_frames", "--omit", "target_frames.mp4",
             "--omit", "P_hevc.mov")
        with open(self.path("pooled64.f16"), "rb") as f1, open(os.path.join(other, "pooled64.f16"), "rb") as f2:
            self.assertNotEqual(f1.read(), f2.read())

    def test_imx_container_round_trips_every_member(self):
        out = os.path.join(self.tmp, "rt")
        container = os.path.join(self.tmp, "rt.imx")
        make(out, "--imx", container, "--omit", "fs_red.f16")
        with open(container, "rb") as f:
            data = f.read()
        self.assertEqual(data[:4], b"IMX\0")
        version, count = np.frombuffer(data[4:8], "<u2")
        self.assertEqual(version, 2)
        pos, seen = 8, {}
        for _ in range(count):
            n = int.from_bytes(data[pos:pos + 2], "little")
            name = data[pos + 2:pos + 2 + n].decode()
            off, size = np.frombuffer(data[pos + 2 + n:pos + 18 + n], "<u8")
            seen[name] = data[int(off):int(off + size)]
            pos += 18 + n
        on_disk = {}
        for root, _, files in os.walk(out):
            for f in files:
                p = os.path.join(root, f)
                with open(p, "rb") as fh:
                    on_disk[os.path.relpath(p, out)] = fh.read()
        self.assertEqual(sorted(seen), sorted(on_disk))
        for name, payload in on_disk.items():
            self.assertEqual(seen[name], payload, name)


class TeethBank(unittest.TestCase):
    """--teeth-bank: donors cut from the bundle's own mouth, opened by
    different amounts."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="bundlegen_teeth_")
        cls.dir = os.path.join(cls.tmp, "b")
        make(cls.dir, "--teeth-bank", "--donors", "9")
        with open(os.path.join(cls.dir, "tessera_bank.v1.json")) as f:
            cls.side = json.load(f)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def test_members_and_stamp_describe_the_track(self):
        s = self.side
        self.assertEqual(s["n_donors"], 9)
        self.assertEqual(sorted(s["track_order"]), list(range(9)))
        g = s["geometry"]
        bh = g["band_r1"] - g["band_r0"] + 2 * g["shift_margin"]
        bw = g["band_c1"] - g["band_c0"] + 2 * g["shift_margin"]
        info = probe(os.path.join(self.dir, "tessera_bank.v1.mp4"))
        self.assertEqual((int(info["width"]), int(info["height"]), int(info["nb_read_frames"])), (bw, bh, 9))
        for name in ("tessera_head.v1.pt", "tessera_head.v1.json"):
            self.assertTrue(os.path.isfile(os.path.join(self.dir, name)))
        with open(os.path.join(self.dir, "manifest.json")) as f:
            m = json.load(f)
        self.assertEqual(m["tessera"]["geometry"], g)
        # The window holds the mouth: every donor centroid lies inside it.
        for x, y in s["cent"]:
            self.assertTrue(g["window_x0"] <= x < g["window_x0"] + g["window_w"])
            self.assertTrue(g["window_y0"] <= y < g["window_y0"] + g["window_h"])
            self.assertLess(abs(y - s["c_canon"][1]), 4)

    def test_the_callers_manifest_edits_apply_to_the_banks_blocks_too(self):
        d = os.path.join(self.tmp, "edited")
        make(d, "--teeth-bank", "--donors", "3", "--unset", "tessera")
        with open(os.path.join(d, "manifest.json")) as f:
            self.assertNotIn("tessera", json.load(f))
        d = os.path.join(self.tmp, "no_manifest")
        make(d, "--teeth-bank", "--donors", "3", "--omit", "manifest.json")
        self.assertFalse(os.path.exists(os.path.join(d, "manifest.json")))
        self.assertTrue(os.path.isfile(os.path.join(d, "tessera_bank.v1.json")))

    def test_apertures_follow_the_painted_opening(self):
        s = self.side
        g = s["geometry"]
        bh = g["band_r1"] - g["band_r0"] + 2 * g["shift_margin"]
        bw = g["band_c1"] - g["band_c0"] + 2 * g["shift_margin"]
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", os.path.join(self.dir, "tessera_bank.v1.mp4"),
                              "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True, check=True).stdout
        frames = np.frombuffer(raw, np.uint8).reshape(9, bh, bw, 3).astype(int)
        donors = [None] * 9
        for t, d in enumerate(s["track_order"]):
            donors[d] = frames[t]
        # Painted mouth pixels (dark interior or teeth) grow with the aperture.
        dark = [int((((f[..., 0] < 90) & (f[..., 1] < 40)) | (f.min(axis=-1) > 200)).sum()) for f in donors]
        order = np.argsort(s["aperture"])
        self.assertGreater(dark[order[-1]], dark[order[0]])
        self.assertGreater(np.corrcoef(np.array(s["aperture"]), np.array(dark))[0, 1], 0.8)


class DonorMouths(unittest.TestCase):
    """Donors look like the mouths the director renders: lips driven
    together at the smallest openings (over teeth the idle face shows), the
    face's own mouth in between, a painted open mouth when wide."""

    def setUp(self):
        sys.path.insert(0, os.path.dirname(MAKE))
        s = 64
        crop = np.full((s, s, 3), (200, 160, 140), np.uint8)
        crop[24:28, 16:48] = (190, 90, 100)   # upper lip
        crop[28:32, 16:48] = (236, 232, 220)  # teeth between the inner lips
        crop[32:36, 16:48] = (170, 80, 90)    # lower lip
        kp = np.zeros((21, 3), np.float32)
        px = lambda x, y: (2.0 * x / s - 1.0, 2.0 * y / s - 1.0)
        kp[6, :2], kp[12, :2] = px(16, 30), px(48, 30)
        kp[14, :2], kp[19, :2] = px(32, 24), px(32, 28)
        kp[17, :2], kp[20, :2] = px(32, 36), px(32, 32)
        self.crop, self.kp = crop, kp

    def test_closed_donors_cover_the_teeth_with_each_lip(self):
        from bundlegen import teeth_bank
        crop, kp = self.crop, self.kp
        closed = teeth_bank.donor_frame(crop, kp, 0.05).astype(int)
        teeth = (closed[28:32, 24:40].min(axis=-1) > 200).sum()
        self.assertEqual(teeth, 0, "teeth still show between lips pressed together")
        self.assertLess(np.abs(closed[29, 32] - (190, 90, 100)).max(), 40)
        self.assertLess(np.abs(closed[31, 32] - (170, 80, 90)).max(), 40)
        np.testing.assert_array_equal(teeth_bank.donor_frame(crop, kp, 0.3), crop)
        wide = teeth_bank.donor_frame(crop, kp, 0.9).astype(int)
        self.assertGreater(((wide[..., 0] < 90) & (wide[..., 1] < 40)).sum(), 0)

    def test_partial_closure_moves_the_lips_and_leaves_the_skin(self):
        from bundlegen import teeth_bank
        gap = lambda img: int((img[:, 30:34].min(axis=-1) > 200).all(axis=1).sum())
        half = teeth_bank.close_lips(self.crop, self.kp, 0.5)
        self.assertLess(gap(half), gap(self.crop))
        self.assertGreater(gap(half), 0)
        np.testing.assert_array_equal(half[:16], self.crop[:16])
        np.testing.assert_array_equal(half[48:], self.crop[48:])
        np.testing.assert_array_equal(half[:, :4], self.crop[:, :4])
        np.testing.assert_array_equal(teeth_bank.close_lips(self.crop, self.kp, 0.0), self.crop)


class PresetTeethBank(unittest.TestCase):
    """A preset writes its teeth bank only where the engine can tell which
    corpus lip geometry it was cut on."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="bundlegen_presetbank_")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def test_bank_follows_what_the_crop_can_identify(self):
        small = os.path.join(self.tmp, "small")
        make(small, "--no-motion")
        self.assertFalse(os.path.exists(os.path.join(small, "tessera_bank.v1.json")))
        big = os.path.join(self.tmp, "big")
        make(big, "--crop", "128", "--no-motion")
        with open(os.path.join(big, "manifest.json")) as f:
            m = json.load(f)
        with open(os.path.join(big, "tessera_bank.v1.json")) as f:
            side = json.load(f)
        self.assertEqual((m["crop"], side["geometry"]["canvas_w"]), (128, 128))
        sys.path.insert(0, os.path.dirname(MAKE))
        from bundlegen import teeth_bank
        kp = np.fromfile(os.path.join(big, "xs_target.bin"), "<f4").reshape(m["NT"], 21, 3)
        rows = m["unified"]["pi"]["lip_idx"]
        dist = {}
        for name, params in teeth_bank.CORPUS.items():
            c = teeth_bank.canonical_centroid(kp, 128, rows, params)
            dist[name] = float(np.hypot(c[0] - side["c_canon"][0], c[1] - side["c_canon"][1]))
        self.assertLess(dist["v1"], 0.01)
        self.assertGreaterEqual(min(dist["v2"], dist["v3"]) - dist["v1"], teeth_bank.AMBIGUITY_PX)
        off = os.path.join(self.tmp, "off")
        make(off, "--crop", "128", "--no-teeth-bank", "--no-motion")
        self.assertFalse(os.path.exists(os.path.join(off, "tessera_bank.v1.mp4")))
        with open(os.path.join(off, "manifest.json")) as f:
            self.assertNotIn("tessera", json.load(f))


class Options(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="bundlegen_opt_")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def size(self, d, name):
        return os.path.getsize(os.path.join(d, name))

    def test_damage_kinds_produce_their_damage(self):
        d = os.path.join(self.tmp, "a")
        make(d, "--damage", "P.f16=short", "--damage", "M.f32=long", "--damage", "drive/xs.f32=fewer",
             "--damage", "pooled64.f16=more", "--damage", "drive/si.i32=range", "--damage", "mask_512.u8=empty",
             "--damage", "target_frames.mp4=fewer", "--damage", "P_hevc.mov=yuv420p",
             "--damage", "target_frames=gap:5", "--damage", "manifest.json=nt+1",
             "--damage", "lip_template.v1.json=garbage")
        good = os.path.join(self.tmp, "good")
        make(good, "--omit", "target_frames", "--omit", "target_frames.mp4", "--omit", "P_hevc.mov")
        self.assertEqual(self.size(d, "P.f16"), self.size(good, "P.f16") - 1)
        self.assertEqual(self.size(d, "M.f32"), self.size(good, "M.f32") + 1)
        self.assertEqual(self.size(d, "drive/xs.f32"), self.size(good, "drive/xs.f32") - 252)
        self.assertEqual(self.size(d, "pooled64.f16"), self.size(good, "pooled64.f16") + 131072)
        self.assertEqual(self.size(d, "mask_512.u8"), 0)
        si = np.fromfile(os.path.join(d, "drive/si.i32"), "<i4")
        self.assertEqual(si[-1], 12)
        self.assertEqual(probe(os.path.join(d, "target_frames.mp4"))["nb_read_frames"], 11)
        self.assertEqual(probe(os.path.join(d, "P_hevc.mov"))["pix_fmt"], "yuv420p")
        frames = sorted(os.listdir(os.path.join(d, "target_frames")))
        self.assertNotIn("frame_000005.jpg", frames)
        self.assertIn("frame_000011.jpg", frames)
        self.assertEqual(len(frames), 11)
        with open(os.path.join(d, "manifest.json")) as f:
            self.assertEqual(json.load(f)["NT"], 13)
        with open(os.path.join(d, "lip_template.v1.json"), "rb") as f:
            self.assertRaises(ValueError, json.loads, f.read().decode("latin-1"))

    def test_video_size_and_count_damage(self):
        d = os.path.join(self.tmp, "b")
        make(d, "--damage", "target_frames.mp4=size", "--damage", "P_hevc.mov=more",
             "--damage", "target_frames=fewer", "--damage", "manifest.json=no-msrc",
             "--omit", "fs_red.f16", "--omit", "P.f16")
        mp4 = probe(os.path.join(d, "target_frames.mp4"))
        self.assertEqual((mp4["width"], mp4["height"], mp4["nb_read_frames"]), (176, 136, 12))
        self.assertEqual(probe(os.path.join(d, "P_hevc.mov"))["nb_read_frames"], 13)
        frames = os.listdir(os.path.join(d, "target_frames"))
        self.assertEqual(len(frames), 11)
        self.assertNotIn("frame_000011.jpg", frames)
        self.assertFalse(os.path.exists(os.path.join(d, "fs_red.f16")))
        self.assertFalse(os.path.exists(os.path.join(d, "P.f16")))
        with open(os.path.join(d, "manifest.json")) as f:
            m = json.load(f)
        self.assertNotIn("M_src_w", m)
        self.assertEqual(m["P_hevc"], "P_hevc.mov")

    def test_layout_options(self):
        d = os.path.join(self.tmp, "c")
        make(d, "--canonical-names", "--m-src", "80x60", "--tessera-block", "--set", "agent=other",
             "--omit", "target_frames", "--omit", "target_frames.mp4", "--omit", "P_hevc.mov")
        for name in ("source_frames.f16", "paste_transform.f32", "paste_mask.u8", "pooled_features.f16",
                     "feature_synth.f16", "target_keypoints.bin", "idle_loop/source_keypoints.f32",
                     "idle_loop/driven_keypoints.f32", "idle_loop/source_index.i32"):
            self.assertTrue(os.path.isfile(os.path.join(d, name)), name)
        self.assertFalse(os.path.exists(os.path.join(d, "P.f16")))
        self.assertFalse(os.path.exists(os.path.join(d, "drive")))
        with open(os.path.join(d, "manifest.json")) as f:
            m = json.load(f)
        self.assertEqual((m["M_src_w"], m["M_src_h"], m["agent"]), (80, 60, "other"))
        self.assertIn("members", m["tessera"])
        good = os.path.join(self.tmp, "good")
        make(good, "--omit", "target_frames", "--omit", "target_frames.mp4", "--omit", "P_hevc.mov")
        scaled = np.fromfile(os.path.join(d, "paste_transform.f32"), "<f4").reshape(-1, 2, 3)
        plain = np.fromfile(os.path.join(good, "M.f32"), "<f4").reshape(-1, 2, 3)
        np.testing.assert_allclose(scaled, plain * 0.5, rtol=1e-6)

    def test_bad_options_fail_with_a_message_naming_the_value(self):
        d = os.path.join(self.tmp, "bad")
        cases = [
            (["--omit", "P.f32"], "P.f32"),
            (["--damage", "P.f16=shorter"], "shorter"),
            (["--damage", "P.f16"], "MEMBER=KIND"),
            (["--damage", "target_frames=gap:12"], "gap:12"),
            (["--damage", "P.f16=short", "--omit", "P.f16"], "conflicts"),
            (["--m-src", "12"], "WIDTHxHEIGHT"),
        ]
        for args, text in cases:
            r = make(d, *args, check=False)
            self.assertNotEqual(r.returncode, 0, args)
            self.assertIn(text, r.stderr, args)
            self.assertFalse(os.path.exists(d), args)
        # A directory that is not a bundle is never overwritten.
        os.makedirs(d)
        open(os.path.join(d, "notes.txt"), "w").close()
        r = make(d, check=False)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("refusing to overwrite", r.stderr)
        self.assertTrue(os.path.exists(os.path.join(d, "notes.txt")))


if __name__ == "__main__":
    unittest.main()

"""Writes a complete synthetic bundle directory.

Everything derives from the preset and the seed; each concern draws from its
own random stream, so leaving a member out or damaging one never changes the
bytes of the others.
"""
import json
import os
import shutil

import numpy as np

from . import a2x
from . import damage as dmg
from . import frames as fr
from . import geometry, imx
from . import motion as mo
from . import manifest as mf
from . import members as mb
from . import portrait, video
from .presets import PRESETS

# Random stream ids, one per concern.
_RNG_PORTRAIT, _RNG_MOTION, _RNG_POOLED, _RNG_FSRED = 1, 2, 3, 4
_RNG_KPMOTION = 5


class Options:
    def __init__(self, preset, out, seed=1, nt=None, frames=None, omit=(), damage=(),
                 m_src=None, tessera=False, canonical=False, sets=(), unsets=(), imx_out=None,
                 teeth_bank=None, donors=None, motion=True, crop=None, fitted_speech=None):
        if preset not in PRESETS:
            raise ValueError("unknown preset %r (presets: %s)" % (preset, ", ".join(sorted(PRESETS))))
        self.preset = PRESETS[preset]
        self.out = out
        self.seed = seed
        self.nt = self.preset.nt if nt is None else nt
        self.frames = self.nt if frames is None else frames
        if self.nt < 2:
            raise ValueError("--nt must be at least 2, got %d" % self.nt)
        if self.frames < 1:
            raise ValueError("--frames must be at least 1, got %d" % self.frames)
        for m in omit:
            if m not in mb.ALL and m not in a2x.FILES:
                raise ValueError("--omit names %r, which is not a bundle member (members: %s)"
                                 % (m, ", ".join(mb.ALL)))
        self.omit = set(omit)
        if not self.preset.jpeg_driver and not any(dmg.parse(d)[0] == mb.JPEG_DIR for d in damage):
            self.omit.add(mb.JPEG_DIR)
        self.damage = {}
        for spec in damage:
            member, kind, arg = dmg.parse(spec)
            if member in self.omit:
                raise ValueError("--damage %s conflicts with --omit %s" % (spec, member))
            if member in self.damage:
                raise ValueError("--damage names %s twice" % member)
            self.damage[member] = (kind, arg)
        jd = self.damage.get(mb.JPEG_DIR)
        if jd and jd[1] is not None and not 0 <= jd[1] < self.nt:
            raise ValueError("--damage %s=%s:%d: frame outside [0, %d)" % (mb.JPEG_DIR, jd[0], jd[1], self.nt))
        self.m_src = m_src or (self.preset.w, self.preset.h)
        if self.m_src[0] < 1 or self.m_src[1] < 1:
            raise ValueError("--m-src must be positive, got %dx%d" % self.m_src)
        self.tessera = tessera
        self.canonical = canonical
        self.sets = list(sets)
        self.unsets = list(unsets)
        self.imx_out = imx_out
        # None: the preset's default, written only where it can attach.
        self.teeth_bank = teeth_bank
        self.donors = self.preset.n_donors if donors is None else donors
        if teeth_bank is not False and not 1 <= self.donors <= 1024:
            raise ValueError("--donors must lie in 1..1024, got %d" % self.donors)
        self.motion = motion
        self.fitted_speech = self.preset.fitted_speech if fitted_speech is None else fitted_speech
        self.crop = self.preset.crop if crop is None else crop
        if not 16 <= self.crop <= 1024 or self.crop % 2:
            raise ValueError("--crop must be an even number from 16 to 1024, got %d" % self.crop)

    def kind(self, member):
        return self.damage.get(member, (None, None))


def _rng(seed, stream):
    return np.random.default_rng(np.random.SeedSequence([seed, stream]))


def _write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def _video_frames(kind, nt):
    """Loop frame indices a damaged video carries."""
    if kind == "fewer":
        return list(range(nt - 1))
    if kind == "more":
        return list(range(nt)) + [0]
    return list(range(nt))


def _pad(frame, kind):
    return np.pad(frame, ((0, 16), (0, 16), (0, 0)), mode="edge") if kind == "size" else frame


def _lip_motion(i, frames):
    """Small mouth opening of the driven keypoints: an idle loop that talks
    a little, so xd differs from xs."""
    a = 0.012 * (0.5 - 0.5 * np.cos(2 * np.pi * 3 * i / max(frames, 1)))
    d = np.zeros((mb.KP_ROWS, 3), np.float32)
    d[[14, 19], 1] -= a / 2
    d[[17, 20], 1] += a
    d[6, 0] += a / 4
    d[12, 0] -= a / 4
    return d


def _safe_to_replace(path):
    if not os.path.exists(path):
        return True
    if not os.path.isdir(path):
        return False
    entries = set(os.listdir(path))
    known = {m.split("/")[0] for m in mb.ALL} | {c.split("/")[0] for c in mb.CANONICAL.values()}
    return not entries or bool(entries & known)


def _parse_value(text):
    try:
        return json.loads(text)
    except ValueError:
        return text


def build(opt, log=print):
    p = opt.preset
    nt, frames_n, crop, w, h = opt.nt, opt.frames, opt.crop, p.w, p.h
    out = os.path.abspath(opt.out)
    if not _safe_to_replace(out):
        raise ValueError("%s exists and does not look like a bundle directory; refusing to overwrite it" % out)
    work = out + ".part-%d" % os.getpid()
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "drive"))
    try:
        _generate(opt, work, nt, frames_n, crop, w, h, log)
        # Swap the new bundle in with two renames, so that a reader of the
        # old one never sees a half-deleted directory.
        old = out + ".old-%d" % os.getpid()
        if os.path.exists(out):
            os.rename(out, old)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        os.rename(work, out)
        shutil.rmtree(old, ignore_errors=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if opt.imx_out:
        imx.pack(imx.members_of_dir(out), opt.imx_out)
    log("bundle %s: preset %s, %dx%d canvas, crop %d, NT %d, frames %d" % (out, p.name, w, h, crop, nt, frames_n))
    return out


def _generate(opt, work, nt, frames_n, crop, w, h, log):
    p = opt.preset
    face = p.make_portrait(_rng(opt.seed, _RNG_PORTRAIT))
    backdrop = portrait.background(w, h)
    motion = geometry.IdleMotion(_rng(opt.seed, _RNG_MOTION), nt, *p.motion)
    # Another crop size keeps the face's size on the canvas.
    place = geometry.Placement(motion, face.face_center, p.offset, crop, p.crop_scale * p.crop / crop)

    paste = np.stack([place.paste(t) for t in range(nt)])
    kp = np.stack([geometry.keypoints(place, t, face.landmarks, face.depth) for t in range(nt)])

    # Driving frames, streamed into the JPEG directory and the MP4.
    jpg_kind, jpg_arg = opt.kind(mb.JPEG_DIR)
    mp4_kind, _ = opt.kind(mb.DRIVER_MP4)
    jpg = None if mb.JPEG_DIR in opt.omit else video.JpegDir(os.path.join(work, mb.JPEG_DIR))
    mp4 = None
    if mb.DRIVER_MP4 not in opt.omit:
        pad = 16 if mp4_kind == "size" else 0
        mp4 = video.h264(os.path.join(work, mb.DRIVER_MP4), w + pad, h + pad,
                         pix_fmt="yuv444p" if mp4_kind == "yuv444p" else "yuv420p",
                         threads=p.encoder_threads)
    crops = np.empty((nt, crop, crop, 3), np.uint8)
    first = None
    gap = jpg_arg if jpg_arg is not None else nt // 2
    for t in range(nt):
        frame = fr.render(face, backdrop, place.head(t))
        if t == 0:
            first = frame
        crops[t] = fr.cut_crop(frame, paste[t], crop)
        if jpg is not None:
            if jpg_kind == "corrupt" and t == gap:
                _write(os.path.join(jpg.path, "frame_%06d.jpg" % t), b"\xa5" * 64)
            elif not ((jpg_kind == "fewer" and t == nt - 1) or (jpg_kind == "gap" and t == gap)):
                jpg.write(_pad(frame, jpg_kind), t)
        if mp4 is not None and not (mp4_kind == "fewer" and t == nt - 1):
            mp4.write(_pad(frame, mp4_kind))
    if jpg is not None and jpg_kind == "more":
        jpg.write(first, nt)
    if mp4 is not None:
        if mp4_kind == "more":
            mp4.write(_pad(first, mp4_kind))
        mp4.close()

    # Warp prior as video.
    if mb.PRIOR_VIDEO not in opt.omit:
        kind, _ = opt.kind(mb.PRIOR_VIDEO)
        pad = 16 if kind == "size" else 0
        enc = video.hevc(os.path.join(work, mb.PRIOR_VIDEO), crop + pad, crop + pad,
                         pix_fmt="yuv420p" if kind == "yuv420p" else "yuv444p")
        for t in _video_frames(kind, nt):
            enc.write(_pad(crops[t], kind))
        enc.close()

    # Arrays.
    arrays = {}
    arrays[mb.MASK] = lambda: fr.face_mask(crop).tobytes()
    arrays[mb.PRIOR_RAW] = lambda: (crops.transpose(0, 3, 1, 2).astype(np.float32) / 255.0).astype("<f2").tobytes()
    arrays[mb.POOLED] = lambda: (0.5 * _rng(opt.seed, _RNG_POOLED).standard_normal(
        nt * mb.POOLED_PER_FRAME, dtype=np.float32)).astype("<f2").tobytes()
    arrays[mb.FS_RED] = lambda: (0.5 * _rng(opt.seed, _RNG_FSRED).standard_normal(
        nt * mb.FS_RED_PER_FRAME, dtype=np.float32)).astype("<f2").tobytes()
    # M is stored in the space it was authored in (the M_src canvas); the
    # engine scales it back to the output canvas.
    authored = paste.copy()
    authored[:, 0, :] *= opt.m_src[0] / float(w)
    authored[:, 1, :] *= opt.m_src[1] / float(h)
    arrays[mb.PASTE_M] = lambda: authored.astype("<f4").tobytes()
    si = np.arange(frames_n, dtype=np.int64) % nt
    xs = kp[si]
    xd = xs + np.stack([_lip_motion(i, frames_n) for i in range(frames_n)])
    arrays[mb.DRIVE_XS] = lambda: xs.astype("<f4").tobytes()
    arrays[mb.DRIVE_XD] = lambda: xd.astype("<f4").tobytes()
    arrays[mb.DRIVE_SI] = lambda: si.astype("<i4").tobytes()
    arrays[mb.XS_TARGET] = lambda: kp.astype("<f4").tobytes()
    for name, make in arrays.items():
        if name not in opt.omit:
            _write(os.path.join(work, name), make())

    # Audio-to-expression models (the bundle directory doubles as the
    # motion directory).
    a2x.write(work, a2x.FITTED_CONFIG if opt.fitted_speech else a2x.PRESET_CONFIGS[p.name], omit=opt.omit,
              rest_kp=kp)

    # JSON members.
    man = mf.build("synthetic-" + p.name, nt, w, h, crop, frames_n, p.unsharp, opt.m_src,
                   opt.seed, p.name, tessera=opt.tessera)
    # The teeth bank's blocks go into the manifest before the caller's own
    # edits, which may take them out again or leave the manifest out.
    if opt.teeth_bank or (opt.teeth_bank is None and p.teeth_bank):
        import tessera_members
        from . import teeth_bank
        gap = teeth_bank.corpus_separation(kp, crop, mb.LIP_ROWS)
        if opt.teeth_bank or gap >= teeth_bank.AMBIGUITY_PX:
            bank = teeth_bank.build(crops, kp, opt.donors, mb.LIP_ROWS)
            tessera_members.write_members(work, bank=bank, manifest=man)
        else:
            log("teeth bank left out: at crop %d the corpus lip geometries lie %.2f px apart, under the "
                "engine's %.1f px, so no bank cut here could be identified (--crop 128 or more carries one)"
                % (crop, gap, teeth_bank.AMBIGUITY_PX))

    for key in opt.unsets:
        man.pop(key, None)
    for kv in opt.sets:
        key, value = kv
        man[key] = _parse_value(value)
    if mb.MANIFEST not in opt.omit:
        _write(os.path.join(work, mb.MANIFEST), mf.dumps(man).encode())
    if mb.LIP_TEMPLATE not in opt.omit:
        _write(os.path.join(work, mb.LIP_TEMPLATE), mf.dumps(mf.lip_template(crop)).encode())

    # The bundle doubles as the keypoint-motion directory; the face-coefficient
    # adapter sits beside it.
    if opt.motion:
        mo.write_motion(work, kp, _rng(opt.seed, _RNG_KPMOTION), fitted=opt.fitted_speech)
        mo.write_fca(work)

    for member, (kind, _) in sorted(opt.damage.items()):
        if member != mb.JPEG_DIR:
            dmg.apply_file(work, member, kind, nt, frames_n, crop)

    if mb.DRIVE_XS in opt.omit and mb.DRIVE_XD in opt.omit and mb.DRIVE_SI in opt.omit:
        os.rmdir(os.path.join(work, "drive"))
    if opt.canonical:
        for welded, canon in mb.CANONICAL.items():
            src = os.path.join(work, welded)
            if os.path.exists(src):
                os.makedirs(os.path.dirname(os.path.join(work, canon)), exist_ok=True)
                os.rename(src, os.path.join(work, canon))
        if os.path.isdir(os.path.join(work, "drive")) and not os.listdir(os.path.join(work, "drive")):
            os.rmdir(os.path.join(work, "drive"))

#!/usr/bin/env python3
"""Measures a bundle's speech models on the lips, on held-out speech from
Festival (a synthesizer they were not fitted on, speaking sentences they
were not fitted on), through the engine's own sources.

    lips_eval.py --driver lip_keypoints --bundle DIR --encoder W2V.onnx
                 --work DIR [--sources a2x,motion] [--report-only]

For each source (le_a2x, le_motion) the lip opening and width of the driven
keypoints, taken relative to their driving frame's own, are compared with
the viseme targets of Festival's segments:
- r: Pearson correlation of the driven lips' inner gap with the target
  opening over the frames of speech (first to last phone that is not a
  pause), which the models drive; silence stays on the idle face, whatever
  its lips do, so its frames are left out (the goal is 0.8; on Festival
  the stream's readout reaches 0.70 and the motion's 0.67, so the check
  holds them at 0.68 and 0.66 against regressions). r_all, the earlier
  figure over every frame with the opening relative to the driving
  frame's own, is printed beside it;
- closures: share of /p/, /b/, /m/ whose middle frame opens at most 25 % of
  the utterance's mean opening at vowel middles (>= 0.8), on the inner lip
  gap of the driven keypoints themselves: a face whose idle loop shows its
  teeth must close them, not merely return to the loop;
- rounding: share of (/u/ /w/ /o/, /i/ /e/) middle-frame pairs of an
  utterance where the rounded one is narrower (>= 0.8);
- silence: two seconds of silence leave every keypoint on the idle loop;
- onset: an utterance cut to begin on its first phone (no silence before
  it, as a host often pushes speech) still ends on the idle loop, in the
  last frames of the second of silence after it: a source that measures
  the lips from its first frame must not keep that frame's viseme.
Exits 1 when a threshold fails (unless --report-only).
"""
import argparse
import os
import shlex
import subprocess
import sys

import numpy as np

from lipfit import corpus, fit, visemes

THRESHOLDS = {"r": 0.55, "closures": 0.8, "rounding": 0.8}
R_FLOORS = {"a2x": 0.68, "motion": 0.66}
CLOSED_SHARE = 0.25
IDLE_TOLERANCE = 1e-5
TAIL_S = 1.0           # silence after the onset utterance
TAIL_FRAMES = 5        # its last frames, which must be back on the idle face
# How far those frames may stray, in keypoint units: a lip held by its
# first viseme is off by tens of thousandths (the idle gap is 0.059); the
# stream's last blocks leave a few thousandths, well under a pixel.
ONSET_TOLERANCE = 0.01


def run_driver(driver, source, bundle, samples, work, name, env):
    speech, out = os.path.join(work, name + ".f32"), os.path.join(work, name + "." + source + ".kp")
    samples.astype("<f4").tofile(speech)
    # A cross build's driver runs behind the emulator its tests name.
    emulator = shlex.split(os.environ.get("LE_TEST_EMULATOR", ""))
    r = subprocess.run(emulator + [driver, source, bundle, speech, out], env=env, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s %s failed on %s: %s" % (driver, source, name, r.stderr.strip()))
    rec = np.fromfile(out, "<f4").reshape(-1, 127)
    return rec[:, 1:64], rec[:, 64:]


def speech_frames(spans):
    """[first, last) frame of the phones that are not pauses."""
    spoken = [(s, e) for s, e, p in spans if p != "pau"]
    if not spoken:
        return 0, 0
    return int(spoken[0][0] * visemes.SR // visemes.FRAME), -(-int(spoken[-1][1] * visemes.SR) // visemes.FRAME)


def onset_utterance(samples, spans):
    """`samples` from the start of its first phone that is not a pause,
    followed by TAIL_S of silence."""
    lo, _ = speech_frames(spans)
    start = lo * visemes.FRAME
    return np.concatenate([samples[start:], np.zeros(int(TAIL_S * visemes.SR), np.float32)])


def _pearson(xs, ys):
    x, y = np.concatenate(xs), np.concatenate(ys)
    return float(np.corrcoef(x, y)[0, 1]) if x.size > 1 and np.ptp(x) > 0 and np.ptp(y) > 0 else 0.0


def measure(pairs):
    """pairs: (base, driven, spans) per utterance -> the figures."""
    opens, goals, spoken, spoken_goals, closed, rounded = [], [], [], [], [], []
    for base, driven, spans in pairs:
        o = visemes.opening(driven) - visemes.opening(base)
        w = visemes.width(driven) - visemes.width(base)
        gap = visemes.inner_gap(driven)
        goal = visemes.targets(spans, o.size)[:, 0]
        opens.append(o)
        goals.append(goal)
        lo, hi = speech_frames(spans)
        spoken.append(gap[lo:hi])
        spoken_goals.append(goal[lo:hi])

        def at(phones):
            return [i for i in visemes.middle_frames(spans, phones) if i < o.size]

        vowel_mean = gap[at(visemes.VOWELS)].mean() if at(visemes.VOWELS) else 0.0
        closed += [bool(gap[i] <= CLOSED_SHARE * vowel_mean) for i in at(visemes.BILABIALS)]
        rounded += [bool(w[a] < w[b]) for a in at(visemes.ROUNDED) for b in at(visemes.SPREAD)]
    return {"r": _pearson(spoken, spoken_goals), "r_all": _pearson(opens, goals), "closures": float(np.mean(closed)), "rounding": float(np.mean(rounded)),
            "cases": (len(closed), len(rounded), sum(x.size for x in spoken))}


def failures(source, m, idle, tail):
    """What a source's figures fail, each as a phrase naming the source."""
    floors = dict(THRESHOLDS, r=R_FLOORS.get(source, THRESHOLDS["r"]))
    failed = ["%s %s %.3f < %.2f" % (source, k, m[k], t) for k, t in floors.items() if m[k] < t]
    if idle > IDLE_TOLERANCE:
        failed.append("%s silence moves the keypoints by %.3g" % (source, idle))
    if tail > ONSET_TOLERANCE:
        failed.append("%s the silence after an utterance that opens on speech moves the keypoints by %.3g"
                      % (source, tail))
    return failed


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--driver", required=True)
    ap.add_argument("--bundle", required=True)
    ap.add_argument("--encoder", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--sources", default="a2x,motion")
    ap.add_argument("--report-only", action="store_true")
    a = ap.parse_args(argv)
    os.makedirs(a.work, exist_ok=True)
    env = dict(os.environ, W2V_ONNX=a.encoder)
    _, held = corpus.sentences()
    raw = corpus.festival_corpus(held)
    utts = [fit.pad_utterance(*u) for u in raw]
    silence = np.zeros(2 * visemes.SR, np.float32)
    failed = []
    for source in a.sources.split(","):
        pairs = []
        for i, (x, spans) in enumerate(utts):
            base, driven = run_driver(a.driver, source, a.bundle, x, a.work, "held%02d" % i, env)
            pairs.append((base, driven, spans))
        m = measure(pairs)
        base, driven = run_driver(a.driver, source, a.bundle, silence, a.work, "silence", env)
        idle = float(np.abs(driven - base).max())
        base, driven = run_driver(a.driver, source, a.bundle, onset_utterance(*raw[0]), a.work, "onset", env)
        tail = float(np.abs(driven[-TAIL_FRAMES:] - base[-TAIL_FRAMES:]).max())
        print("%-6s r=%.3f (r_all=%.3f) closures=%.3f rounding=%.3f silence max|offset|=%.2g "
              "after an onset %.2g (%d closures, %d pairs, %d frames of speech; %d Festival sentences)"
              % (source, m["r"], m["r_all"], m["closures"], m["rounding"], idle, tail, *m["cases"], len(utts)))
        failed += failures(source, m, idle, tail)
    if failed and not a.report_only:
        print("lips_eval.py: FAILED: " + "; ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

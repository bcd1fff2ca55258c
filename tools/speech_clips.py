#!/usr/bin/env python3
"""Speaks a few fixed sentences with espeak-ng into 16 kHz mono 16-bit WAV
files (resampled with the ffmpeg command), for tests that need real speech.

    speech_clips.py --out DIR

hello.wav (about 2 s), sentence.wav (about 4.5 s) and long10s.wav (10 s).
"""
import argparse
import os
import subprocess
import sys

CLIPS = {
    "hello.wav": ("Hello there, how are you today?", None),
    "sentence.wav": ("The quick brown fox jumps over the lazy dog, and then it runs far away.", None),
    "long10s.wav": ("Speech drives the face: every syllable opens the mouth a little, and every pause "
                    "closes it again. We keep talking for a while, so that the stream runs for more "
                    "than two hundred frames and wraps its position table.", 10.0),
}


def speak(text, out, seconds=None):
    raw = out + ".%d.espeak.wav" % os.getpid()
    tmp = out + ".%d.tmp.wav" % os.getpid()
    try:
        subprocess.run(["espeak-ng", "-v", "en", "-s", "165", "-w", raw, text], check=True)
        cmd = ["ffmpeg", "-loglevel", "error", "-y", "-i", raw]
        if seconds:
            cmd += ["-af", "apad", "-t", "%.3f" % seconds]
        cmd += ["-ar", "16000", "-ac", "1", "-sample_fmt", "s16", "-bitexact", tmp]
        subprocess.run(cmd, check=True)
        os.replace(tmp, out)
    finally:
        for p in (raw, tmp):
            if os.path.exists(p):
                os.remove(p)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", required=True)
    a = ap.parse_args(argv)
    os.makedirs(a.out, exist_ok=True)
    try:
        for name, (text, seconds) in CLIPS.items():
            speak(text, os.path.join(a.out, name), seconds)
            print("wrote %s" % os.path.join(a.out, name))
    except (OSError, subprocess.CalledProcessError) as e:
        print("speech_clips.py: %s" % e, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())

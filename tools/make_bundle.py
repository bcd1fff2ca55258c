#!/usr/bin/env python3
"""Writes a synthetic avatar bundle directory, deterministically.

    make_bundle.py --preset tiny|demo --out DIR [--seed N] [--nt N] [--frames N]
                   [--omit MEMBER ...] [--damage MEMBER=KIND[:ARG] ...]
                   [--set KEY=VALUE ...] [--unset KEY ...] [--m-src WxH]
                   [--tessera-block] [--teeth-bank [--donors N] | --no-teeth-bank] [--crop N]
                   [--canonical-names]
                   [--imx FILE] [--no-motion] [--speech-models fitted|loudness]

DIR is replaced whole (it is built beside DIR and renamed into place).
"""
import argparse
import sys

from bundlegen import bundle, damage, members


def _size(text):
    try:
        w, h = text.lower().split("x")
        return int(w), int(h)
    except ValueError:
        raise argparse.ArgumentTypeError("expected WIDTHxHEIGHT, got %r" % text)


def _key_value(text):
    if "=" not in text:
        raise argparse.ArgumentTypeError("expected KEY=VALUE, got %r" % text)
    return tuple(text.split("=", 1))


def main(argv=None):
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="members: %s\n\ndamage kinds per member:\n%s" % (", ".join(members.ALL), damage.describe()))
    ap.add_argument("--preset", required=True, choices=sorted(bundle.PRESETS))
    ap.add_argument("--out", required=True, help="bundle directory to write")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--nt", type=int, help="loop length (default: the preset's)")
    ap.add_argument("--frames", type=int, help="drive frames (default: NT)")
    ap.add_argument("--omit", action="append", default=[], metavar="MEMBER", help="leave a member out")
    ap.add_argument("--damage", action="append", default=[], metavar="MEMBER=KIND[:ARG]")
    ap.add_argument("--set", action="append", default=[], type=_key_value, metavar="KEY=VALUE",
                    help="set a top-level manifest key (VALUE as JSON, else a string)")
    ap.add_argument("--unset", action="append", default=[], metavar="KEY",
                    help="drop a top-level manifest key")
    ap.add_argument("--m-src", type=_size, metavar="WxH",
                    help="author M on this canvas (stamped as M_src_w/M_src_h)")
    ap.add_argument("--tessera-block", action="store_true", help="declare a manifest tessera block")
    ap.add_argument("--teeth-bank", action="store_true", default=None,
                    help="write the borrowed-teeth members (bank cut from the bundle's own mouth) even where "
                         "the engine could not identify its lip geometry (default: where it can)")
    ap.add_argument("--no-teeth-bank", dest="teeth_bank", action="store_false", help="leave the teeth bank out")
    ap.add_argument("--crop", type=int, help="face crop size (default: the preset's); the face keeps its size")
    ap.add_argument("--donors", type=int, help="teeth bank size (default: the preset's)")
    ap.add_argument("--canonical-names", action="store_true", help="store members under their canonical names")
    ap.add_argument("--imx", metavar="FILE", help="also pack the bundle into an IMX container")
    ap.add_argument("--no-motion", action="store_true",
                    help="leave out the keypoint-motion files and the face-coefficient adapter")
    ap.add_argument("--speech-models", choices=("fitted", "loudness"),
                    help="speech-to-keypoint models: fitted on phoneme timing or driven by loudness "
                         "(default: the preset's; the demo's are fitted)")
    ap.add_argument("--quiet", action="store_true")
    a = ap.parse_args(argv)
    try:
        opt = bundle.Options(a.preset, a.out, seed=a.seed, nt=a.nt, frames=a.frames, omit=a.omit,
                             damage=a.damage, m_src=a.m_src, tessera=a.tessera_block,
                             canonical=a.canonical_names, sets=a.set, unsets=a.unset, imx_out=a.imx,
                             teeth_bank=a.teeth_bank, donors=a.donors, motion=not a.no_motion,
                             crop=a.crop,
                             fitted_speech=None if a.speech_models is None else a.speech_models == "fitted")
        bundle.build(opt, log=(lambda *_: None) if a.quiet else print)
    except (ValueError, RuntimeError, OSError) as e:
        print("make_bundle.py: %s" % e, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())

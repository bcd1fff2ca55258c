#!/usr/bin/env python3
"""(Re)writes the audio-to-expression models and tables of a bundle directory.

    a2x_model.py --bundle DIR [--h N] [--window N] [--left N] [--layers N]
                 [--width 0|1] [--silence-prime N] [--rows P] [--seed N]
                 [--meta KEY=JSON ...] [--drop-meta KEY ...]

--meta and --drop-meta edit a2x_meta.json after it is written (for bundles
whose meta disagrees with their graphs); --half OUTPUT casts that output of
the decoder or the encoder to half precision (for models whose outputs are
not the single precision the engine reads).
"""
import argparse
import json
import os

from bundlegen import a2x


def half_output(bundle, name):
    """Makes output `name` of the decoder or the encoder half precision."""
    import onnx
    from onnx import TensorProto, helper
    for member in (a2x.DEC, a2x.ENC):
        path = os.path.join(bundle, member)
        model = onnx.load(path)
        outs = [o for o in model.graph.output if o.name == name]
        if not outs:
            continue
        for node in model.graph.node:
            node.output[:] = [name + "_f32" if o == name else o for o in node.output]
        model.graph.node.append(helper.make_node("Cast", [name + "_f32"], [name], to=TensorProto.FLOAT16))
        outs[0].type.tensor_type.elem_type = TensorProto.FLOAT16
        onnx.save(model, path)
        return
    raise ValueError("no a2x model has an output named %s" % name)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bundle", required=True)
    d = a2x.Config()
    for key in ("h", "window", "left", "layers", "width", "rows", "seed"):
        ap.add_argument("--" + key, type=int, default=getattr(d, key))
    ap.add_argument("--silence-prime", type=int, default=d.silence_prime)
    ap.add_argument("--meta", action="append", default=[], metavar="KEY=JSON")
    ap.add_argument("--drop-meta", action="append", default=[], metavar="KEY")
    ap.add_argument("--half", action="append", default=[], metavar="OUTPUT")
    a = ap.parse_args(argv)
    cfg = a2x.Config(a.h, a.window, a.left, a.layers, a.width, a.silence_prime, a.rows, a.seed)
    try:
        paths = a2x.write(a.bundle, cfg)
        if a.meta or a.drop_meta:
            path = os.path.join(a.bundle, a2x.META)
            meta = a2x.meta(cfg)
            for kv in a.meta:
                key, _, value = kv.partition("=")
                meta[key] = json.loads(value)
            for key in a.drop_meta:
                meta.pop(key, None)
            with open(path, "w") as fh:
                json.dump(meta, fh)
        for name in a.half:
            half_output(a.bundle, name)
    except (OSError, ValueError) as e:
        raise SystemExit("a2x_model.py: %s" % e)
    for p in paths:
        print("wrote %s" % p)


if __name__ == "__main__":
    main()

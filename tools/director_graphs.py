#!/usr/bin/env python3
"""Synthetic director graphs for the load-time graph edits.

Each graph is small but carries the structures the renderer's edits look for:
the m4b tensor contract, a source cone (one Concat on P_rgb of the image and
its second differences), the warping GridSample and its recombination, the
unified compose tail with a clipped elliptical alpha, the student blend
MatMul and a bicubic x2 head Resize feeding a Conv. Broken variants each
carry exactly one defect that an edit must refuse.

Usage: director_graphs.py --out DIR [--size S]
       director_graphs.py --corpus DIR   (the graph codec's fuzz seeds, crop 8)
"""
import argparse
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17


class G:
    """Accumulates nodes and initializers of one graph."""

    def __init__(self, seed):
        self.nodes = []
        self.inits = []
        self.rng = np.random.default_rng(seed)
        self.count = 0

    def init(self, name, arr):
        self.inits.append(numpy_helper.from_array(np.asarray(arr), name))
        return name

    def node(self, op, inputs, out=None, name=None, domain=None, **attrs):
        self.count += 1
        out = out or f"{op.lower()}_{self.count}"
        n = helper.make_node(op, inputs, [out], name=name or f"/{op}_{self.count}", **attrs)
        if domain:
            n.domain = domain
        self.nodes.append(n)
        return out

    def weights(self, name, shape, scale=0.2):
        return self.init(name, (self.rng.standard_normal(shape) * scale).astype(np.float32))


def second_difference_kernels():
    kxx = np.array([[0, 0, 0], [1, -2, 1], [0, 0, 0]], np.float32)
    kyy = kxx.T.copy()
    kxxyy = np.outer([1, -2, 1], [1, -2, 1]).astype(np.float32)
    return [np.repeat(k[None, None], 3, axis=0) for k in (kxx, kyy, kxxyy)]


def build_grid(g, kd, ks, S, K):
    """Sampling grid [B,S,S,2] from the keypoints: a warped base grid moved by
    the mean keypoint displacement. It reaches past [-1, 1] at the rim so
    border sampling is exercised."""
    lin = (np.arange(S, dtype=np.float32) + 0.5) / S * 2 - 1
    yy, xx = np.meshgrid(lin, lin, indexing="ij")
    gx = 1.1 * xx + 0.05 * np.sin(3.1 * yy)
    gy = 1.1 * yy + 0.05 * np.cos(2.3 * xx)
    base = np.stack([gx, gy], axis=-1)[None].astype(np.float32)
    g.init("grid_base", base)
    g.init("axes1", np.array([1], np.int64))
    g.init("disp_scale", np.array(0.15, np.float32))
    g.init("disp_shape", np.array([-1, 1, 1, 2], np.int64))
    g.init("s0", np.array([0], np.int64))
    g.init("s1", np.array([1], np.int64))
    g.init("s2", np.array([2], np.int64))
    g.init("s3", np.array([3], np.int64))
    diff = g.node("Sub", [kd, ks], "kp_diff")
    mean = g.node("ReduceMean", [diff], "kp_mean", axes=[1], keepdims=0)
    xy = g.node("Slice", [mean, "s0", "s2", "axes1"], "kp_xy")
    disp = g.node("Mul", [xy, "disp_scale"], "kp_disp")
    disp4 = g.node("Reshape", [disp, "disp_shape"], "kp_disp4")
    return g.node("Add", ["grid_base", disp4], "grid")


def build_h(g, grid, S, axis_start, tag):
    """hx (or hy) = f(1-f)/2 with f the fractional pixel coordinate of the
    grid's x (or y), [B,1,S,S]."""
    if "one" not in [i.name for i in g.inits]:
        g.init("axes3", np.array([3], np.int64))
        g.init("one", np.array(1.0, np.float32))
        g.init("two", np.array(2.0, np.float32))
        g.init("size_f", np.array(float(S), np.float32))
    c = g.node("Slice", [grid, axis_start, "s%d" % (int(axis_start[1]) + 1), "axes3"], f"{tag}_g")
    a = g.node("Add", [c, "one"], f"{tag}_a")
    m = g.node("Mul", [a, "size_f"], f"{tag}_m")
    s = g.node("Sub", [m, "one"], f"{tag}_s")
    p = g.node("Div", [s, "two"], f"{tag}_pix")
    fl = g.node("Floor", [p], f"{tag}_floor")
    f = g.node("Sub", [p, fl], f"{tag}_frac")
    omf = g.node("Sub", ["one", f], f"{tag}_omf")
    pr = g.node("Mul", [f, omf], f"{tag}_prod")
    h = g.node("Div", [pr, "two"], f"{tag}_half")
    return g.node("Transpose", [h], tag, perm=[0, 3, 1, 2])


def build_head(g, pooled, kd, S, K, opts):
    """Pooled features -> per-channel scale -> cubic x2 Resize -> Conv, plus
    the keypoint blend MatMul. Returns [B,8,S,S] features."""
    C = 64
    scale_c = 32 if opts.get("resize_mismatch") else C
    g.init("ch_scale", (1.0 + 0.1 * g.rng.standard_normal((scale_c, 1, 1))).astype(np.float32))
    ps = g.node("Mul", [pooled, "ch_scale"], "pooled_scaled")
    g.init("up_scales", np.array([1, 1, 2, 2], np.float32))
    ctm = "align_corners" if opts.get("resize_align_corners") else "half_pixel"
    up = g.node("Resize", [ps, "", "up_scales"], "head_up", name="/head/Resize", mode="cubic",
                coordinate_transformation_mode=ctm)
    if opts.get("two_resize"):
        g.node("Resize", [ps, "", "up_scales"], "head_up2", name="/head/Resize2", mode="cubic",
               coordinate_transformation_mode="half_pixel")
    g.weights("head_w", (8, C, 3, 3), 0.05)
    hc = g.node("Conv", [up, "head_w"], "head_conv", pads=[1, 1, 1, 1])
    g.init("kflat_shape", np.array([-1, K * 3], np.int64))
    g.init("kb_shape", np.array([-1, 8, 1, 1], np.int64))
    g.weights("blend_w", (K * 3, 8), 0.3)
    kf = g.node("Reshape", [kd, "kflat_shape"], "kp_flat")
    battrs = {"unexpected": 1} if opts.get("blend_attr") else {}
    kb = g.node("MatMul", [kf, "blend_w"], "blend_out", name="/s2/blend", **battrs)
    kb4 = g.node("Reshape", [kb, "kb_shape"], "blend_4d")
    return g.node("Add", [hc, kb4], "head_feat")


def build_m4b(B=1, S=64, K=21, seed=7, **opts):
    g = G(seed)
    prgb, kd, ks, pooled = "P_rgb", "kp_driving", "kp_source", "pooled64"

    # Source cone: the image and its second differences, edge clamped.
    g.init("pad1", np.array([0, 0, 1, 1, 0, 0, 1, 1], np.int64))
    padded = g.node("Pad", [prgb, "pad1"], "src_pad", mode="edge")
    kxx, kyy, kxxyy = second_difference_kernels()
    g.init("k_xx", kxx)
    g.init("k_yy", kyy)
    g.init("k_xxyy", kxxyy)
    dxx = g.node("Conv", [padded, "k_xx"], "src_dxx", group=3)
    dyy = g.node("Conv", [padded, "k_yy"], "src_dyy", group=3)
    dxxyy = g.node("Conv", [padded, "k_xxyy"], "src_dxxyy", group=3)
    if opts.get("cone_reads_kp"):
        g.init("zero", np.array(0.0, np.float32))
        ksum = g.node("ReduceMean", [kd], "kd_sum", keepdims=1, axes=[1, 2])
        kz = g.node("Mul", [ksum, "zero"], "kd_zero")
        kz4 = g.node("Unsqueeze", [kz, "axes1"], "kd_zero4")
        dxx = g.node("Add", [dxx, kz4], "src_dxx_kd")
    tip = g.node("Concat", [prgb, dxx, dyy, dxxyy], "src_tip", axis=1)
    if opts.get("two_concat"):
        g.node("Concat", [prgb, prgb], "src_twice", axis=1)

    grid = build_grid(g, kd, ks, S, K)
    hx = build_h(g, grid, S, "s0", "hx")
    hy = build_h(g, grid, S, "s1", "hy")

    # The warp and its recombination.
    if opts.get("baked"):
        samp = g.node("GridSampleFast", [tip, grid], "warp_samp", domain="com.mirelund")
    else:
        pm = "zeros" if opts.get("gs_zeros") else "border"
        samp = g.node("GridSample", [tip, grid], "warp_samp", mode="bilinear", padding_mode=pm,
                      align_corners=0)
    if opts.get("two_gridsample"):
        g.node("GridSample", [tip, grid], "warp_samp2", mode="bilinear", padding_mode="border",
               align_corners=0)
    for i in range(5):
        g.init(f"c{i * 3}", np.array([i * 3], np.int64))
    parts = [g.node("Slice", [samp, f"c{3 * i}", f"c{3 * i + 3}", "axes1"], f"warp_{n}")
             for i, n in enumerate(["c", "xx", "yy", "xxyy"])]
    t1 = g.node("Mul", [hx, parts[1]], "warp_t1")
    r1 = g.node("Sub", [parts[0], t1], "warp_r1")
    t2 = g.node("Mul", [hy, parts[2]], "warp_t2")
    r2 = g.node("Sub", [r1, t2], "warp_r2")
    hxy = g.node("Mul", [hx, hy], "warp_hxy")
    t3 = g.node("Mul", [hxy, parts[3]], "warp_t3")
    warped = g.node("Add", [r2, t3], "warp_out")

    head = build_head(g, pooled, kd, S, K, opts)

    g.weights("x_w", (3, 11, 3, 3), 0.2)
    feat = g.node("Concat", [warped, head], "feat", axis=1)
    xl = g.node("Conv", [feat, "x_w"], "x_logit", pads=[1, 1, 1, 1])
    g.weights("y_w", (3, 8, 1, 1), 0.5)
    yl = g.node("Conv", [head, "y_w"], "y_logit")
    if opts.get("prgb_leak"):
        pm_ = g.node("ReduceMean", [prgb], "prgb_mean", axes=[1, 2, 3], keepdims=1)
        yl = g.node("Add", [yl, pm_], "y_logit_p")
    if opts.get("cone_escape"):
        em = g.node("ReduceMean", [dyy], "dyy_mean", axes=[1, 2, 3], keepdims=1)
        yl = g.node("Add", [yl, em], "y_logit_e")
    if opts.get("two_exits"):
        rm = g.node("ReduceMean", [r1], "r1_mean", axes=[1, 2, 3], keepdims=1)
        yl = g.node("Add", [yl, rm], "y_logit_r")
    # Compose tail: out = a*X + (1-a)*Y, a = Clip(ellipse).
    lin = (np.arange(S, dtype=np.float32) + 0.5) / S * 2 - 1
    yy, xx = np.meshgrid(lin, lin, indexing="ij")
    ell = (1.6 - 1.5 * (xx ** 2 / 0.6 + yy ** 2 / 0.8))[None, None].astype(np.float32)
    g.init("ellipse", ell)
    g.init("clip_lo", np.array(0.0, np.float32))
    g.init("clip_hi", np.array(1.0, np.float32))
    a = g.node("Clip", ["ellipse", "clip_lo", "clip_hi"], "alpha")
    if opts.get("alpha_third"):
        am = g.node("ReduceMean", [a], "alpha_mean", axes=[1, 2, 3], keepdims=1)
        yl = g.node("Add", [yl, am], "y_logit_a")
    X = g.node("Sigmoid", [xl], "x_img")
    Y = g.node("Sigmoid", [yl], "y_img")
    if opts.get("no_tail"):
        out = g.node("Add", [X, Y], "composed")
    else:
        ax = g.node("Mul", [X, a], "a_x")
        oma = g.node("Sub", ["one", a], "one_minus_a")
        by = g.node("Mul", [oma, Y], "b_y")
        out = g.node("Add", [ax, by], "composed")
    g.node("Identity", [out], "rgb")

    f = TensorProto.FLOAT
    inputs = [helper.make_tensor_value_info("pooled64", f, [B, 64, 32, 32]),
              helper.make_tensor_value_info("P_rgb", f, [B, 3, S, S]),
              helper.make_tensor_value_info("kp_driving", f, [B, K, 3]),
              helper.make_tensor_value_info("kp_source", f, [B, K, 3])]
    outputs = [helper.make_tensor_value_info("rgb", f, [B, 3, S, S])]
    return finish(g, "director_m4b", inputs, outputs, baked=opts.get("baked"))


def build_featsynth(B=1, S=64, K=21, seed=11, fs_shape=(64, 64, 64), tail=False, prgb=False):
    """The FeatSynth director: the identity's synthesis features fs_red
    [B,64,64,64] warped by the keypoint grid, joined with the pooled head.
    `fs_shape` other than the renderer's (64, 64, 64) makes a director that
    disagrees with the bundle, for the load-time refusal; `tail` ends it in
    the m4b compose tail (a Clip-ed ellipse blending two images) and `prgb`
    gives it a source-image cone as well, which no FeatSynth director has."""
    g = G(seed)
    grid = build_grid(g, "kd", "ks", S, K)
    samp = g.node("GridSample", ["fs_red", grid], "fs_samp", mode="bilinear", padding_mode="border",
                  align_corners=0)
    head = build_head(g, "pooled", "kd", S, K, {})
    parts = [samp, head]
    if prgb:
        parts.append(g.node("Concat", ["P_rgb", "P_rgb"], "src_tip", axis=1))
    g.weights("x_w", (3, fs_shape[0] + 8 + (6 if prgb else 0), 3, 3), 0.05)
    feat = g.node("Concat", parts, "feat", axis=1)
    xl = g.node("Conv", [feat, "x_w"], "x_logit", pads=[1, 1, 1, 1])
    if tail:
        lin = (np.arange(S, dtype=np.float32) + 0.5) / S * 2 - 1
        yy, xx = np.meshgrid(lin, lin, indexing="ij")
        g.init("ellipse", (1.6 - 1.5 * (xx ** 2 / 0.6 + yy ** 2 / 0.8))[None, None].astype(np.float32))
        g.init("clip_lo", np.array(0.0, np.float32))
        g.init("clip_hi", np.array(1.0, np.float32))
        g.weights("y_w", (3, 8, 1, 1), 0.5)
        if "one" not in [i.name for i in g.inits]:
            g.init("one", np.array(1.0, np.float32))
        a = g.node("Clip", ["ellipse", "clip_lo", "clip_hi"], "alpha")
        X = g.node("Sigmoid", [xl], "x_img")
        Y = g.node("Sigmoid", [g.node("Conv", [head, "y_w"], "y_logit")], "y_img")
        ax = g.node("Mul", [X, a], "a_x")
        by = g.node("Mul", [g.node("Sub", ["one", a], "one_minus_a"), Y], "b_y")
        g.node("Identity", [g.node("Add", [ax, by], "composed")], "rgb")
    else:
        g.node("Sigmoid", [xl], "rgb")
    f = TensorProto.FLOAT
    inputs = [helper.make_tensor_value_info("fs_red", f, [B] + list(fs_shape)),
              helper.make_tensor_value_info("pooled", f, [B, 64, 32, 32]),
              helper.make_tensor_value_info("kd", f, [B, K, 3]),
              helper.make_tensor_value_info("ks", f, [B, K, 3])]
    if prgb:
        inputs.append(helper.make_tensor_value_info("P_rgb", f, [B, 3, S, S]))
    outputs = [helper.make_tensor_value_info("rgb", f, [B, 3, S, S])]
    return finish(g, "director_featsynth", inputs, outputs)


def finish(g, name, inputs, outputs, baked=False):
    # Variants leave some shared constants unread; ONNX Runtime would warn
    # about each at load, so they stay out.
    read = {i for n in g.nodes for i in n.input}
    inits = [t for t in g.inits if t.name in read]
    graph = helper.make_graph(g.nodes, name, inputs, outputs, initializer=inits)
    opsets = [helper.make_opsetid("", OPSET)]
    if baked:
        opsets.append(helper.make_opsetid("com.mirelund", 1))
    model = helper.make_model(graph, opset_imports=opsets, producer_name="director_graphs")
    model.ir_version = 8
    return model


VARIANTS = {
    "m4b_b1": dict(B=1),
    "m4b_b4": dict(B=4),
    "m4b_kp22": dict(B=1, K=22),
    "m4b_baked": dict(B=1, baked=True),
    "broken_two_concat": dict(two_concat=True),
    "broken_cone_reads_kp": dict(cone_reads_kp=True),
    "broken_prgb_leak": dict(prgb_leak=True),
    "broken_cone_escape": dict(cone_escape=True),
    "broken_alpha_third": dict(alpha_third=True),
    "broken_no_tail": dict(no_tail=True),
    "broken_two_gridsample": dict(two_gridsample=True),
    "broken_gs_zeros": dict(gs_zeros=True),
    "broken_two_exits": dict(two_exits=True),
    "broken_two_resize": dict(two_resize=True),
    "broken_resize_align_corners": dict(resize_align_corners=True),
    "broken_resize_mismatch": dict(resize_mismatch=True),
    "broken_blend_attr": dict(blend_attr=True),
}


def corpus_seeds():
    """Small graphs that carry every structure the load-time edits look for;
    their shapes need not agree, since no runtime ever loads them."""
    import director_model
    return {"m4b": build_m4b(S=8), "m4b_baked": build_m4b(S=8, baked=True),
            "featsynth": build_featsynth(S=8, fs_shape=(4, 8, 8)), "rbf_director": director_model.build(8, 1)}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    group = ap.add_mutually_exclusive_group(required=True)
    group.add_argument("--out")
    group.add_argument("--corpus")
    ap.add_argument("--size", type=int, default=64)
    a = ap.parse_args()
    out = a.out or a.corpus
    os.makedirs(out, exist_ok=True)
    if a.corpus:
        models = corpus_seeds()
    else:
        models = {k: build_m4b(S=a.size, **v) for k, v in VARIANTS.items()}
        models["featsynth_b1"] = build_featsynth(B=1, S=a.size)
        models["featsynth_b4"] = build_featsynth(B=4, S=a.size)
    for k, m in models.items():
        path = os.path.join(out, k + ".onnx")
        tmp = f"{path}.{os.getpid()}.tmp"  # concurrent writers never share a file
        with open(tmp, "wb") as fh:
            fh.write(m.SerializeToString())
        os.replace(tmp, path)
    print(f"wrote {len(models)} director graphs to {out}")


if __name__ == "__main__":
    main()

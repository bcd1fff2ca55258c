#!/usr/bin/env python3
"""Writes a keypoint-driven director model into a bundle directory.

The director warps the source crop P_rgb with a smooth displacement field:
Gaussian radial basis functions centred on the driving keypoints carry the
displacement kp_source - kp_driving of each keypoint to the points around it
(normalised where several overlap), so moving the lip rows opens and closes
the mouth. With kp_driving equal to kp_source the field is exactly zero, the
sampler lands on pixel centres and the crop comes back unchanged.

The mouth line splits the field: above it the upper lip's rows move the
pixels and the lower lip's do not, below it the other way round. One field
averaged over both lips would cancel where they meet, leaving the gap's own
colour between lips driven to contact. The coarse grid carries both sides'
fields and the split happens per crop row, after upsampling, so the seam
stays sharp at the line between the driving inner lips. The lips' rows reach
LIP_SIGMA_X along the mouth (SIGMA across it), so a closure spans the mouth
rather than its middle only.

The field's x and y components each have a kernel of their own. In x the
mouth corners reach across both lips, so drawing them in rounds the whole
mouth (the lips between gather towards its still middle) and pushing them
out spreads it; in y they keep the short reach, so that wide sideways reach
never thins the lips' vertical pull on a closure.

Like a trained keypoint-warping network, it computes the motion field on a
coarse grid (at most 64 x 64 points) and upsamples the flow bilinearly to the
crop; only the image path (source cone, sampler, recombination, compose) runs
at crop resolution.

The graph has the layout of a trained director, so the engine's load-time
edits find what they look for: the source cone (one Concat on P_rgb of the
image and its second differences), a standard GridSample (bilinear, border,
align_corners 0) on the cone's tip with its recombination, a feature head on
pooled64 (cubic x2 Resize into a Conv, the keypoint blend MatMul) whose output
convolution is zero so the face is the warp alone, and the compose tail
a * X + (1 - a) * Y with a clipped elliptical alpha. Every initializer is read
by some node.

Usage: director_model.py --bundle DIR [--bundle DIR ...] [--keys b1_fp32,render,b4_fp32:4]
A key may name its batch after a colon (default 1), and then ":fixed" to keep
the source cone in the graph.
"""
import argparse
import json
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
KP_ROWS = 21
SIGMA = 0.04  # RBF width in normalised crop units (the crop spans [-1, 1])
UPPER_LIP_ROWS = (14, 19)  # outer, inner
LOWER_LIP_ROWS = (17, 20)
INNER_LIP_ROWS = (19, 20)  # the mouth line runs midway between these
CORNER_ROWS = (6, 12)  # the mouth corners, left then right
LIP_SIGMA_X = 0.15  # a lip's rows reach this far along the mouth, so a closure spans it
# The corners' sideways moves reach (x, y) this far, so that the lips between
# them and above and below them follow when the mouth rounds or spreads, not
# the corner pixel alone. Wider in x would pull the cheeks beyond the corners
# along; the y reach covers both lips from a corner's height.
CORNER_SIGMA = (0.12, 0.10)
# Along the mouth the lips' own rows hold its middle still sideways, out to
# about half way to the corners, so the lips between gather in proportion
# rather than shifting as one piece.
LIP_SIGMA_X_SIDEWAYS = 0.06
MAX_FLOW_GRID = 64  # points a side of the grid the motion field is computed on
DEFAULT_KEYS = ("b1_fp32", "render")


class _Graph:
    def __init__(self, rows=KP_ROWS):
        self.nodes, self.inits, self.names, self.count = [], [], set(), 0
        # Keypoint rows of the per-row tables; a symbolic row count gets the
        # engine's 21, the only count it feeds.
        self.rows = rows if isinstance(rows, int) and rows > 0 else KP_ROWS

    def init(self, name, arr):
        """Adds initializer `name` once; a second call with the name keeps the first."""
        if name not in self.names:
            self.names.add(name)
            self.inits.append(numpy_helper.from_array(np.asarray(arr), name))
        return name

    def node(self, op, inputs, out, **attrs):
        self.count += 1
        self.nodes.append(helper.make_node(op, inputs, [out], name="/%s_%d" % (op, self.count), **attrs))
        return out


def _centres(s):
    """Normalised pixel-centre coordinates of an s-pixel axis (align_corners 0)."""
    return ((np.arange(s, dtype=np.float64) + 0.5) / s * 2 - 1).astype(np.float32)


def _source_cone(g, hoistable=True):
    """The image and its edge-clamped second differences, one Concat on P_rgb.
    Not hoistable: the image also passes through a one-input Concat (a copy),
    so the engine finds two Concats on P_rgb and keeps the cone in the graph;
    the arithmetic is the same."""
    g.init("pad1", np.array([0, 0, 1, 1, 0, 0, 1, 1], np.int64))
    src = "P_rgb" if hoistable else g.node("Concat", ["P_rgb"], "src_copy", axis=1)
    padded = g.node("Pad", [src, "pad1"], "src_pad", mode="edge")
    kxx = np.array([[0, 0, 0], [1, -2, 1], [0, 0, 0]], np.float32)
    kernels = {"xx": kxx, "yy": kxx.T.copy(), "xxyy": np.outer([1, -2, 1], [1, -2, 1]).astype(np.float32)}
    outs = []
    for tag, k in kernels.items():
        g.init("k_" + tag, np.repeat(k[None, None], 3, axis=0))
        outs.append(g.node("Conv", [padded, "k_" + tag], "src_d" + tag, group=3))
    return g.node("Concat", ["P_rgb"] + outs, "src_tip", axis=1)


def flow_factor(s):
    """Upsampling factor from the coarse flow grid to an s-pixel crop: the
    smallest whole factor of at least 2 that divides s and leaves a grid of
    2 to MAX_FLOW_GRID points a side; 1 (flow at crop resolution) when none."""
    for f in range(2, s // 2 + 1):
        if s % f == 0 and s // f <= MAX_FLOW_GRID:
            return f
    return 1


def lip_side_masks(rows):
    """[rows, 4] keypoint masks for the two sides' fields (x, y above the
    mouth line, then x, y below): a lip's rows count only on their own side,
    every other row on both."""
    m = np.ones((rows, 4), np.float32)
    for r in LOWER_LIP_ROWS:
        if r < rows:
            m[r, :2] = 0
    for r in UPPER_LIP_ROWS:
        if r < rows:
            m[r, 2:] = 0
    return m


def inverse_widths(rows):
    """[2, rows, 2] inverse RBF widths (x, y) per keypoint row, the first
    kernel for the field's x component, the second for its y component. SIGMA
    both ways, but in y the lips' rows reach LIP_SIGMA_X along the mouth, and
    in x the corners reach CORNER_SIGMA and the lips LIP_SIGMA_X_SIDEWAYS.
    One kernel for both components would let the corners' wide reach dilute
    the lips' closing, or the lips' reach along the mouth hold the corners in
    place."""
    w = np.full((2, rows, 2), 1.0 / SIGMA, np.float32)
    for r in UPPER_LIP_ROWS + LOWER_LIP_ROWS:
        if r < rows:
            w[0, r, 0] = 1.0 / LIP_SIGMA_X_SIDEWAYS
            w[1, r, 0] = 1.0 / LIP_SIGMA_X
    for r in CORNER_ROWS:
        if r < rows:
            w[0, r] = 1.0 / np.asarray(CORNER_SIGMA, np.float32)
    return w


def _mouth_side(g, s):
    """[B,4,S,1] weights of the sides' fields per crop row: s, s, 1 - s,
    1 - s with s the share of the upper side, a logistic step at the mouth
    line (the mean height of the driving inner lips), all but done a tenth
    of a pixel away: a row that mixed the two sides' fields would sample
    between the lips, in the gap."""
    c = _centres(s)
    g.init("row_y", c.reshape(1, 1, s, 1))
    g.init("inner_rows", np.array(INNER_LIP_ROWS, np.int64))
    g.init("y_start", np.array([1], np.int64))
    g.init("y_end", np.array([2], np.int64))
    g.init("side_sharp", np.array(20.0 * s, np.float32))  # 40 / pixel, a pixel being 2 / s
    g.init("side_shape", np.array([-1, 1, 1, 1], np.int64))
    kd_y = g.node("Slice", ["kp_driving", "y_start", "y_end", "axis2"], "kd_y")        # [B,K,1]
    inner = g.node("Gather", [kd_y, "inner_rows"], "inner_y", axis=1)                # [B,2,1]
    line = g.node("ReduceMean", [inner], "mouth_line", axes=[1, 2], keepdims=0)      # [B]
    line4 = g.node("Reshape", [line, "side_shape"], "mouth_line4")                   # [B,1,1,1]
    up = g.node("Sigmoid", [g.node("Mul", [g.node("Sub", [line4, "row_y"], "side_dist"), "side_sharp"],
                                   "side_arg")], "side_up")                         # [B,1,S,1]
    down = g.node("Sub", ["one", up], "side_down")
    return g.node("Concat", [up, up, down, down], "side_w", axis=1)                  # [B,4,S,1]


def _grid(g, s):
    """Sampling grid [B,S,S,2]: pixel centres moved by the RBF field, which is
    evaluated at the centres of a coarse n x n grid and upsampled bilinearly.
    Returns the grid and the upsampled field [B,2,S,S]."""
    f = flow_factor(s)
    n = s // f
    g.init("flow_axis", _centres(n).reshape(1, 1, 1, n, 1))                      # [1,1,1,n,1]
    c = _centres(s)
    yy, xx = np.meshgrid(c, c, indexing="ij")
    g.init("grid_base", np.stack([xx, yy], axis=-1)[None].astype(np.float32))                 # [1,S,S,2]
    g.init("xy_start", np.array([0], np.int64))
    g.init("xy_end", np.array([2], np.int64))
    g.init("y_start", np.array([1], np.int64))
    g.init("axis2", np.array([2], np.int64))
    g.init("kd_axes", np.array([1, 3], np.int64))
    g.init("moves_axes", np.array([1, 2], np.int64))
    g.init("neg_half", np.array(-0.5, np.float32))
    # [kernel, axis, 1, K]: the x component's kernel, then the y component's.
    g.init("inv_width", inverse_widths(g.rows).transpose(0, 2, 1)[:, :, None, :].copy())
    g.init("one", np.array(1.0, np.float32))
    g.init("flow_scales", np.array([1, 1, f, f], np.float32))
    g.init("sides_shape", np.array([-1, 2, 2, s, s], np.int64))
    g.init("axis1", np.array([1], np.int64))
    ks = g.node("Slice", ["kp_source", "xy_start", "xy_end", "axis2"], "ks_xy")    # [B,K,2]
    kd = g.node("Slice", ["kp_driving", "xy_start", "xy_end", "axis2"], "kd_xy")
    move = g.node("Sub", [ks, kd], "kp_move")                                     # [B,K,2]
    # Centred where the keypoints are driven to: the sampler reads the field
    # at output pixels, so a lip driven to the mouth line carries its full
    # displacement there. The Gaussian of a point on the n x n grid is the
    # product of one along x and one along y, so those are evaluated on the
    # grid's n columns and n rows alone: the x and y components' kernels
    # [B,kernel,axis,n,K], then their product over the grid.
    kd5 = g.node("Unsqueeze", [g.node("Transpose", [kd], "kd_t", perm=[0, 2, 1]), "kd_axes"], "kd_5")  # [B,1,2,1,K]
    rel = g.node("Mul", [g.node("Sub", ["flow_axis", kd5], "rbf_rel"), "inv_width"], "rbf_rel_w")  # [B,2,2,n,K]
    arg = g.node("Mul", [g.node("Mul", [rel, rel], "rbf_sq"), "neg_half"], "rbf_arg")
    axis_phi = g.node("Exp", [arg], "rbf_axis_phi")
    phi_x = g.node("Slice", [axis_phi, "xy_start", "y_start", "axis2"], "rbf_phi_x")  # [B,2,1,n,K], by column
    phi_y = g.node("Transpose", [g.node("Slice", [axis_phi, "y_start", "xy_end", "axis2"], "rbf_phi_y_row")],
                   "rbf_phi_y", perm=[0, 1, 3, 2, 4])                             # [B,2,n,1,K], by row
    phi = g.node("Mul", [phi_y, phi_x], "rbf_phi")                                # [B,2,n,n,K]
    # Both sides' fields at once: x, y above the mouth line, then below.
    masks = g.init("side_masks", lip_side_masks(g.rows))                          # [K,4]
    moves = g.node("Mul", [g.node("Concat", [move, move], "kp_move2", axis=2), masks], "side_moves")
    total = g.node("MatMul", [phi, masks], "rbf_total")                           # [B,2,n,n,4]
    den = g.node("Max", [total, "one"], "rbf_den")
    num = g.node("MatMul", [phi, g.node("Unsqueeze", [moves, "moves_axes"], "side_moves5")], "rbf_num")
    # Each kernel's field keeps only its own component: x columns from the
    # first, y columns from the second.
    g.init("component_pick", np.array([[1, 0, 1, 0], [0, 1, 0, 1]], np.float32).reshape(1, 2, 1, 1, 4))
    both = g.node("Mul", [g.node("Div", [num, den], "rbf_disp2"), "component_pick"], "rbf_disp_picked")
    disp = g.node("ReduceSum", [both, "axis1"], "rbf_disp", keepdims=0)           # [B,n,n,4]
    coarse = g.node("Transpose", [disp], "flow_coarse", perm=[0, 3, 1, 2])        # [B,4,n,n]
    # Half-pixel bilinear upsampling puts each coarse value on its cell's centre
    # and clamps at the rim, so a zero field stays exactly zero.
    sides = g.node("Resize", [coarse, "", "flow_scales"], "flow_sides", mode="linear",
                   coordinate_transformation_mode="half_pixel")                  # [B,4,S,S]
    weighted = g.node("Mul", [sides, _mouth_side(g, s)], "flow_sides_w")
    fine = g.node("ReduceSum", [g.node("Reshape", [weighted, "sides_shape"], "flow_sides5"), "axis1"],
                  "flow_fine", keepdims=0)                                        # [B,2,S,S]
    flow = g.node("Transpose", [fine], "flow", perm=[0, 2, 3, 1])                 # [B,S,S,2]
    return g.node("Add", ["grid_base", flow], "grid"), fine


def _frac_weights(g, fine, s):
    """hx and hy [B,1,S,S]: f (1 - f) / 2 of the fractional part f of each
    sample's pixel coordinate. The base grid sits on pixel centres, so that
    fraction is the fraction of the flow measured in pixels."""
    g.init("half_s", np.array(s / 2.0, np.float32))
    g.init("half", np.array(0.5, np.float32))
    for i in range(3):
        g.init("ch%d" % i, np.array([i], np.int64))
    px = g.node("Mul", [fine, "half_s"], "flow_px")                               # [B,2,S,S]
    f = g.node("Sub", [px, g.node("Floor", [px], "flow_floor")], "flow_frac")
    h = g.node("Mul", [g.node("Mul", [f, g.node("Sub", ["one", f], "flow_omf")], "flow_prod"), "half"],
               "flow_h")
    return (g.node("Slice", [h, "ch0", "ch1", "axis1"], "hx"),
            g.node("Slice", [h, "ch1", "ch2", "axis1"], "hy"))


def _warp(g, tip, grid, fine, s):
    """The sampler on the cone's tip and its second-difference recombination."""
    g.init("axis1", np.array([1], np.int64))
    hx, hy = _frac_weights(g, fine, s)
    samp = g.node("GridSample", [tip, grid], "warp_samp", mode="bilinear", padding_mode="border",
                  align_corners=0)
    for i in range(5):
        g.init("c%d" % (3 * i), np.array([3 * i], np.int64))
    parts = [g.node("Slice", [samp, "c%d" % (3 * i), "c%d" % (3 * i + 3), "axis1"], "warp_" + n)
             for i, n in enumerate(["c", "xx", "yy", "xxyy"])]
    r1 = g.node("Sub", [parts[0], g.node("Mul", [hx, parts[1]], "warp_t1")], "warp_r1")
    r2 = g.node("Sub", [r1, g.node("Mul", [hy, parts[2]], "warp_t2")], "warp_r2")
    t3 = g.node("Mul", [g.node("Mul", [hx, hy], "warp_hxy"), parts[3]], "warp_t3")
    out = g.node("Add", [r2, t3], "warp_out")
    # The recombination ends here; what reads the warp reads it through this.
    return g.node("Identity", [out], "warped")


def _head(g, rng, rows):
    """Pooled features and driving keypoints -> [B,3,1,1], exactly zero: its
    output convolution carries no weight, so it adds nothing to the warp."""
    g.init("up_scales", np.array([1, 1, 2, 2], np.float32))
    up = g.node("Resize", ["pooled64", "", "up_scales"], "head_up", mode="cubic",
                coordinate_transformation_mode="half_pixel")
    g.init("head_w", (rng.standard_normal((8, 64, 3, 3)) * 0.05).astype(np.float32))
    hc = g.node("Conv", [up, "head_w"], "head_conv", pads=[1, 1, 1, 1])
    flat = rows * 3 if isinstance(rows, int) and rows > 0 else KP_ROWS * 3
    g.init("kflat_shape", np.array([-1, flat], np.int64))
    g.init("kb_shape", np.array([-1, 8, 1, 1], np.int64))
    g.init("blend_w", (rng.standard_normal((flat, 8)) * 0.3).astype(np.float32))
    kf = g.node("Reshape", ["kp_driving", "kflat_shape"], "kp_flat")
    kb = g.node("MatMul", [kf, "blend_w"], "blend_out")
    g.nodes[-1].name = "/s2/blend"
    feat = g.node("Add", [hc, g.node("Reshape", [kb, "kb_shape"], "blend_4d")], "head_feat")
    pooled = g.node("ReduceMean", [feat], "head_pool", axes=[2, 3], keepdims=1)
    g.init("head_out_w", np.zeros((3, 8, 1, 1), np.float32))
    return g.node("Conv", [pooled, "head_out_w"], "head_rgb")


def build(s, batch=1, seed=5, rows=KP_ROWS, hoistable=True):
    g = _Graph(rows)
    rng = np.random.default_rng(seed)
    tip = _source_cone(g, hoistable)
    grid, fine = _grid(g, s)
    warped = _warp(g, tip, grid, fine, s)
    X = g.node("Add", [warped, _head(g, rng, rows)], "x_img")
    Y = warped
    c = _centres(s)
    yy, xx = np.meshgrid(c, c, indexing="ij")
    g.init("ellipse", (1.6 - 1.5 * (xx ** 2 / 0.6 + yy ** 2 / 0.8))[None, None].astype(np.float32))
    g.init("clip_lo", np.array(0.0, np.float32))
    g.init("clip_hi", np.array(1.0, np.float32))
    a = g.node("Clip", ["ellipse", "clip_lo", "clip_hi"], "alpha")
    ax = g.node("Mul", [X, a], "a_x")
    by = g.node("Mul", [g.node("Sub", ["one", a], "one_minus_a"), Y], "b_y")
    g.node("Identity", [g.node("Add", [ax, by], "composed")], "rgb")

    f = TensorProto.FLOAT
    inputs = [helper.make_tensor_value_info("pooled64", f, [batch, 64, 32, 32]),
              helper.make_tensor_value_info("P_rgb", f, [batch, 3, s, s]),
              helper.make_tensor_value_info("kp_driving", f, [batch, rows, 3]),
              helper.make_tensor_value_info("kp_source", f, [batch, rows, 3])]
    outputs = [helper.make_tensor_value_info("rgb", f, [batch, 3, s, s])]
    graph = helper.make_graph(g.nodes, "director", inputs, outputs, initializer=g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="director_model")
    model.ir_version = 8
    onnx.checker.check_model(model)
    check_initializers_used(model)
    return model


def check_initializers_used(model):
    """Refuses a graph with an initializer no node reads: ONNX Runtime warns
    about each one at every load."""
    read = {i for n in model.graph.node for i in n.input}
    unused = [t.name for t in model.graph.initializer if t.name not in read]
    if unused:
        raise ValueError("%s: initializers no node reads: %s" % (model.graph.name, ", ".join(unused)))


def crop_of(bundle):
    path = os.path.join(bundle, "manifest.json")
    try:
        with open(path) as fh:
            man = json.load(fh)
    except (OSError, ValueError) as e:
        raise ValueError("%s: %s" % (path, e)) from e
    if not isinstance(man, dict):
        raise ValueError("%s: not a JSON object" % path)
    crop = man.get("crop", man.get("crop_size"))
    if not isinstance(crop, int) or crop < 2:
        raise ValueError("%s: no usable crop size (got %r)" % (path, crop))
    return crop


def parse_key(text):
    """"key", "key:batch" or "key:batch:fixed" -> (key, batch, hoistable).
    "fixed" keeps the source cone in the graph (see _source_cone)."""
    parts = text.split(":")
    key, batch = parts[0], parts[1] if len(parts) > 1 else "1"
    fixed = len(parts) > 2 and parts[2] == "fixed"
    if not key or not batch.isdigit() or int(batch) < 1 or len(parts) > 3 or (len(parts) == 3 and not fixed):
        raise ValueError("bad model key %r: expected KEY, KEY:BATCH or KEY:BATCH:fixed with a batch of at "
                         "least 1" % text)
    return key, int(batch), not fixed


def write(bundle, keys=DEFAULT_KEYS):
    """Writes model_<key>.onnx for each key ("key" or "key:batch") into
    `bundle`; returns the paths."""
    crop = crop_of(bundle)
    models = {}
    paths = []
    for key, batch, hoistable in map(parse_key, keys):
        if (batch, hoistable) not in models:
            models[batch, hoistable] = build(crop, batch, hoistable=hoistable).SerializeToString()
        model = models[batch, hoistable]
        path = os.path.join(bundle, "model_%s.onnx" % key)
        tmp = "%s.%d.tmp" % (path, os.getpid())
        with open(tmp, "wb") as fh:
            fh.write(model)
        os.replace(tmp, path)
        paths.append(path)
    return paths


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bundle", required=True, action="append",
                    help="bundle directory (its manifest gives the crop); repeatable")
    ap.add_argument("--keys", default=",".join(DEFAULT_KEYS), help="model keys (KEY or KEY:BATCH), comma separated")
    a = ap.parse_args(argv)
    keys = [k for k in a.keys.split(",") if k]
    if not keys:
        ap.error("need at least one model key")
    try:
        for bundle in a.bundle:
            for p in write(bundle, keys):
                print("wrote %s" % p)
    except (OSError, ValueError) as e:
        raise SystemExit("director_model.py: %s" % e)


if __name__ == "__main__":
    main()

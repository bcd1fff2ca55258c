// Load-time rewrites of a director model's bytes. Each returns the number of
// nodes it changed; 0 means the bytes were left exactly as they were.
// Malformed protobuf throws (see graph_codec.h).
#pragma once

#include <cstddef>

#include "core/render/graph_codec.h"

namespace le {

// A standard GridSample that GridSampleFast computes identically: bilinear
// (or "linear"), border padding, align_corners 0, default domain.
bool gsIsRewritableGridSample(GsSlice node);
// The legacy student blend: MatMul "/s2/blend", two inputs, no attributes.
bool gsIsStudentBlendMatMul(GsSlice node);

// True when a node of com.mirelund::GridSampleFast is baked into the graph.
// A model that does not parse counts as not baked.
bool graphHasBakedGridSampleFast(const GsBytes& model);

// Standard GridSample nodes -> com.mirelund::GridSampleFast.
size_t rewriteGridSampleToFast(GsBytes& model);
// MatMul "/s2/blend" -> Gemm (alpha = beta = 1, no transposes).
size_t normaliseStudentBlend(GsBytes& model);
// The one bicubic x2 half-pixel Resize feeding a Conv -> edge Pad + depthwise
// 5x5 Conv + DepthToSpace(2, CRD). Returns 0 or 1.
size_t rewriteHeadCubicResize(GsBytes& model);

// The four cubic taps for sub-pixel offset `t` and coefficient `a`,
// normalised to sum 1 (double precision).
void cubicTaps(double t, double a, double w[4]);

}  // namespace le

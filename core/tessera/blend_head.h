// The teeth head's forward pass: per-pixel blend weights over the candidate
// donor windows (plus a "keep" channel) and the blended mouth window.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tessera/head_weights.h"

namespace le::tessera {

struct BlendOutput {
  std::vector<float> weights;  // (m + 1) planes of h x w; plane m is the keep weight
  std::vector<float> blend;    // 3 planes of h x w, values in [0, 1] scale
  // Layer buffers kept between calls so a frame allocates nothing new.
  std::vector<float> query, input, hidden1, hidden2, logits, syn1, syn2;
  std::vector<int> firstOf;
  int layoutH = 0, layoutW = 0;  // half-resolution size the padded buffers are laid out for  // per candidate, the first candidate listing the same window
};

// cands: `unique` distinct windows of h x w x 3 bytes; candidate k of the m
// in the list is window slotOf[k] (a donor listed twice is computed once,
// with the same result). query: h x w x 3 bytes; map: h x w bytes (0 keeps
// the query). Works at half resolution, upsamples the logits bilinearly
// (half-pixel centres) and softmaxes over the m + 1 channels. Without the
// syn layers the keep channel carries no weight. Parallel loops run on the
// calling thread's worker pool.
void blendHeadForward(const HeadWeights& head, const uint8_t* cands, int unique, const int* slotOf, int m,
                      const uint8_t* query, const uint8_t* map, int h, int w, BlendOutput& out);

}  // namespace le::tessera

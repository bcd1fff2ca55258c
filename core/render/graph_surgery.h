// Structural edits of a director graph made at load time: splitting off the
// source cone (the part that depends only on the source frame), binding the
// lip contour into the compose alpha, and fusing the source warp into one
// WarpDirector node. Each reports failure through a reason string and leaves
// the model bytes untouched; only malformed protobuf throws (graph_codec.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/render/graph_codec.h"

namespace le {

inline constexpr const char* kLipInputName = "lip_delivery";
inline constexpr const char* kLipShrunkName = "tessera_lipdel_alpha";
inline constexpr const char* kLipMinName = "tessera_lipdel_min";

// The warp block: the sampler on the cone's tip and its recombination.
struct WarpBlock {
  size_t sampler = 0;     // node index of the GridSample
  std::string grid;       // its grid input
  std::string exit;       // the block's single value read outside it
  size_t nodeCount = 0;   // sampler + recombination nodes
};

// Number of Concat nodes reading P_rgb; when exactly one, `tip` receives its
// first output (the cone boundary), otherwise `tip` is cleared.
size_t findSourceConeBoundary(const GsBytes& model, std::string& tip);

// Marks (1) the nodes `tip` depends on, stopping at P_rgb, initializers and
// Constant nodes. Fails when the cone reads another graph input, has a leaf
// without producer, or shares P_rgb or an inner value with the rest.
bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::vector<std::string>& inits,
                  const std::vector<std::string>& inputs, const std::string& tip, std::vector<uint8_t>& cone,
                  std::string& reason);

// The prep graph: P_rgb in, the cone, `tip` out (dynamic dims).
bool buildSourceConePrep(const GsBytes& model, const std::string& tip, GsBytes& prep, std::string& reason);
// The per-frame graph: the cone removed, `tip` a new input of shape `dims`.
bool buildSourceConePerFrame(const GsBytes& model, const std::string& tip, const int64_t dims[4], GsBytes& perFrame,
                             std::string& reason);

// Inserts Min(alpha, lip_delivery) in front of the compose tail's two readers
// of the alpha and adds the lip_delivery input [batch,1,canvas,canvas].
// canvas and batch (0 = dynamic) are written on success.
bool rewriteBindLipContour(GsBytes& model, std::string& reason, int& canvas, int& batch);

// 1 and `*block` filled on success, 0 with a reason otherwise.
int findWarpBlock(const GsBytes& model, WarpBlock* block, std::string& reason);
// Replaces the cone, the sampler and the recombination by one
// com.mirelund::WarpDirector node; returns the number of nodes removed.
size_t rewriteWarpBlockToCustomOp(GsBytes& model, std::string& reason);

}  // namespace le

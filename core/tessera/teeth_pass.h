// The borrowed-teeth pass: for each rendered face crop, finds the bank donors
// whose mouth best matches, blends them with the teeth head and composites
// the blend into the crop's mouth window under the frame's mouth mask.
//
// Frames are held back by one: a frame is emitted when the next one arrives
// (its retrieval leads the held frame's donor list) or at flush. One thread
// drives a pass; the heavy loops run on that thread's worker pool.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/tessera/blend_head.h"
#include "core/tessera/geometry_stamp.h"
#include "core/tessera/head_weights.h"
#include "core/tessera/serve_config.h"

namespace le::tessera {

// The donor bank: n stored reference bands (stamp.storedH() x storedW() x 3
// bytes each, donor order), each donor's aperture and mouth centroid, and the
// canonical centroid the bank's frames were identified by.
struct BankData {
  GeometryStamp stamp;
  int n = 0;
  std::vector<uint8_t> stored;
  std::vector<double> aperture;      // n
  std::vector<double> cent;          // 2n: (x, y) per donor
  std::array<double, 2> c_canon{};   // (x, y)
};

struct FrameResult {
  std::vector<uint8_t> window;  // window_h x window_w x 3 bytes
  bool skipped = false;
  std::string reason;           // why it was skipped
  int candidates = 0;           // donors blended
  double keep_mean = 0;         // keep weight over the masked window pixels
  double keep_max = 0;
  int frame_index = -1;
  std::vector<int> donors;      // the blended donors, in candidate order
};

// What retrieval found for one query (exposed for diagnostics and tests).
struct Retrieval {
  std::vector<float> pooled;       // per donor, fp16-rounded pooled score
  std::vector<int> exact_order;    // first min(n, kshort) donors, best first
  std::vector<float> exact;        // their normalised exact scores, same order
  std::vector<int> candidates;     // K donors after the aperture gate
};

class TeethPass {
 public:
  // The held-back frame.
  struct Pending {
    int frame_index = 0;
    std::vector<uint8_t> window;  // the stamp's window of the canvas, window_h x window_w x 3
    std::vector<uint8_t> map;     // the mask bytes there, window_h x window_w
    std::vector<int> candidates;
    bool shift_ok = false;
    int dy = 0, dx = 0;
    std::string reason;
  };

  struct Stats {
    int64_t frames = 0;
    int64_t masked_pixels = 0;
    double keep_mean_sum = 0;
    double keep_max = 0;
    // Wall time spent per stage, summed over all frames (seconds).
    double pooled_s = 0;   // query preparation and pooled scores
    double exact_s = 0;    // exact band scores and selection
    double head_s = 0;     // gathering candidate windows and the head
    double compose_s = 0;  // statistics, memory and the output window
  };

  // Canvases wider or taller than this are refused: a pass sizes per-frame
  // buffers by the canvas.
  static constexpr int kMaxCanvas = 8192;

  // Validates the stamp and refuses a canvas over kMaxCanvas; the sizes a
  // valid stamp gives (storedH, storedW) then fit an int.
  static void checkStamp(const GeometryStamp& stamp);

  // Validates the stamp and the bank, copies weights and configuration and
  // builds the search index. Throws on refusal.
  TeethPass(const BankData& bank, const HeadWeights& head, const ServeConfig& config);

  // Takes one frame (canvas RGB and mouth mask, canvas-sized); shift points
  // to (dy, dx) or is null to derive it from the mask. Reads the canvas only
  // within `pad` pixels of the window (readRows / readCols). Returns true
  // when `out` received the previously held frame.
  bool push(int frameIndex, const uint8_t* canvasRgb, const uint8_t* mask, const int* shift, FrameResult* out);
  // Emits the held frame without lookahead; false when none was held.
  bool flush(FrameResult* out);
  // Drops the held frame without computing it (its result is not wanted),
  // and forgets the run it belonged to: the next frame is served as a fresh
  // pass would serve it. False when none was held.
  bool discard();

  // Thrown by push() and flush() when the stop check answers true between
  // two of their stages; the pass has then dropped its held frame as
  // discard() does.
  struct Stopped : std::runtime_error {
    Stopped() : std::runtime_error("The teeth pass was stopped: its frames are no longer wanted.") {}
  };
  // Asked between the stages of a push or flush whether its frames are still
  // wanted; an empty check never stops. Set it from the thread that pushes.
  void setStopCheck(std::function<bool()> check) { stopCheck_ = std::move(check); }

  // Prepares the query of a frame at shift (dy, dx) and runs both retrieval
  // stages. Updates the carried weight map as push does.
  Retrieval retrieve(const uint8_t* canvasRgb, const uint8_t* mask, int dy, int dx);

  const GeometryStamp& stamp() const { return stamp_; }
  // The canvas rows / columns [first, second) push may read.
  std::pair<int, int> readRows() const {
    return {std::max(0, stamp_.window_y0 - stamp_.pad),
            std::min(stamp_.canvas_h, stamp_.window_y0 + stamp_.window_h + stamp_.pad)};
  }
  std::pair<int, int> readCols() const {
    return {std::max(0, stamp_.window_x0 - stamp_.pad),
            std::min(stamp_.canvas_w, stamp_.window_x0 + stamp_.window_w + stamp_.pad)};
  }
  const ServeConfig& config() const { return config_; }
  const Stats& stats() const { return stats_; }
  int donors() const { return n_; }
  // Donor d's whole-pixel mouth shift from the canonical centroid.
  int donorDy(int d) const { return dy_[static_cast<size_t>(d)]; }
  int donorDx(int d) const { return dx_[static_cast<size_t>(d)]; }

  // Donor d's canonical window as three fp16 planes (window_h x window_w
  // each); the Rows form writes rows [r0, r1) only.
  void canonicalWindowF16(int d, uint16_t* out) const;
  void canonicalWindowF16Rows(int d, uint16_t* out, int r0, int r1) const;
  // Packed RGB windows of the candidates placed for a frame shift (dy, dx).
  std::vector<uint8_t> gatherWindowsU8(const std::vector<int>& candidates, int dy, int dx) const;

  // |h(b/255) - h(a/255)| in half precision, built once per process on first
  // use. The exact stage computes the same differences in vector arithmetic
  // rather than looking them up.
  static const float* dTable();

 private:
  // Throws Stopped, the held frame dropped, when the stop check asks for it.
  void stopIfAsked();
  struct Query {
    std::vector<uint8_t> rgb;       // window_h x window_w x 3 at the frame's shift
    std::vector<float> weight;      // window_h x window_w teeth weights
    std::vector<uint16_t> half;     // 3 fp16 planes of the window, rgb / 255
    // Per window row, the band columns [span0, span1) from the first to the
    // last weighted pixel (empty when the row carries no weight).
    std::vector<int> span0, span1;
    std::vector<uint16_t> pooled;   // 3 fp16 planes of the 4 x 4 pooled window
    std::vector<uint16_t> pooled_w; // fp16 pooled weights
    double norm = 1;
    int first_row = 0, last_row = -1;
  };

  bool deriveShift(const uint8_t* mask, int& dy, int& dx, std::string& reason) const;
  void retrievePrepare(const uint8_t* canvasRgb, const uint8_t* mask, int dy, int dx, Query& q);
  Retrieval retrieveFrom(const Query& q);
  void retrieveSelect(Retrieval& r) const;
  // Exact band scores of kExactGroup donors at once (their sums are
  // independent, so the additions overlap); out[g] for donors[g].
  static constexpr int kExactGroup = 4;
  void exactTermFromBand(const int* donors, const Query& q, float* out) const;
  void buildIndex();
  void emit(Pending& p, const std::vector<int>* lookahead, FrameResult* out);
  // The steps of emit: the donors to blend (memory, lookahead, own list),
  // the head over their windows, the keep statistics, the donor memory for
  // the next frame and the output window.
  std::vector<int> candidateSet(const Pending& p, const std::vector<int>* lookahead) const;
  void blend(const Pending& p, const std::vector<int>& set, const std::vector<uint8_t>& query,
             const std::vector<uint8_t>& map);
  void recordKeep(int m, const std::vector<uint8_t>& map, FrameResult* out);
  void rememberDonors(const std::vector<int>& set, int frameIndex, size_t plane);
  void composeWindow(const std::vector<uint8_t>& query, const std::vector<uint8_t>& map, FrameResult* out) const;
  // Band pixel of window (i, j) for a placement shift (sy, sx), or null.
  const uint8_t* bandPixel(int d, int i, int j, int sy, int sx) const;

  GeometryStamp stamp_;
  ServeConfig config_;
  HeadWeights head_;
  int n_ = 0;
  int storedH_ = 0, storedW_ = 0;
  int pooledH_ = 0, pooledW_ = 0;
  std::vector<uint8_t> stored_;
  std::vector<double> aperture_;
  std::vector<int> dy_, dx_;          // per-donor whole-pixel mouth shifts
  std::array<double, 2> canon_{};     // (x, y)
  std::vector<uint16_t> index_;       // 3 pooled fp16 planes per donor, donors interleaved by simd::kPooledGroup

  Pending pending_;
  bool hasPending_ = false;
  std::vector<int> memory_;           // donors carried from the last emitted frame
  int memoryFrame_ = 0;
  bool hasMemory_ = false;
  std::vector<float> prevWeight_;     // carried teeth weight map
  Stats stats_;
  BlendOutput head_out_;              // reused head buffers
  std::function<bool()> stopCheck_;
};

}  // namespace le::tessera

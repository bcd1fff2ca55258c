// Finds the shared audio-encoder model files that bundles do not carry:
// a fixed order of asset directories, content-addressed dependency stores,
// and the "dependencies" array of a manifest. The resolver never fails: it
// returns an empty path or false and its caller decides what to do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mirelund::engine::container {

// One element of a manifest's "dependencies" array.
struct Dependency {
  std::string id;
  std::string sha256;  // lowercase hex expected
  uint64_t bytes = 0;
};

// Scans (does not parse) the "dependencies" array of manifest text; elements
// without an "id" are dropped, and anything malformed ends the scan with what
// was collected so far.
std::vector<Dependency> parse_dependencies(const char* text, size_t len);

// True for "audio-encoder-fp32", "-fp16", "-fp16-window-trunk", "-fp16-window-head".
bool is_audio_encoder_id(const std::string& id);

// Picks the audio-encoder dependency whose id is `wanted` (when not empty),
// else the first audio-encoder dependency; true when one was picked.
bool find_audio_encoder(const std::vector<Dependency>& deps, const std::string& wanted, Dependency& out);

// True for file names that hold a full audio encoder.
bool is_audio_encoder_filename(const std::string& name);

// The file names of an identifier, in order of preference (none for unknown ids).
std::vector<std::string> canonical_filenames(const std::string& id);

// $MIRELUND_DEPS_DIR, $HOME/.mirelund/deps, /opt/mirelund/deps (unset ones left out).
std::vector<std::string> dependency_store_dirs();

// The asset directories searched for shared models, in order, whether or not
// they exist; `self_dir` is the plug-in's own directory (may be empty).
std::vector<std::string> shared_asset_dirs(const std::string& self_dir);

// $MIRELUND_W2V_ONNX when it names a regular file, else the first audio
// encoder file listed in the asset directories; empty when none.
std::string resolve_shared_audio_encoder(const std::string& self_dir);

// Looks for a window trunk/head pair in `dir`: names are paired by position
// and both files must be regular files.
bool window_pair_in(const std::string& dir, std::string& trunk, std::string& head);

// Looks for the pair beside $MIRELUND_W2V_ONNX, beside $W2V_ONNX, then in
// the asset directories; true at the first pair found.
bool resolve_audio_encoder_window_pair(std::string& trunk, std::string& head, const std::string& self_dir);

// The file of a dependency: dependency stores by digest, then the explicit
// $MIRELUND_AUDIO_ENCODER_FP32/FP16 files, then the asset directories by
// canonical name. With `verify` set a file is taken only when its digest
// matches. Empty when nothing is found.
std::string resolve_dependency(const Dependency& dep, bool verify, const std::string& self_dir);

}  // namespace mirelund::engine::container

// The containers the engine demuxes from a bundle. FFmpeg otherwise probes
// every format it knows, and playlist formats (concat, HLS, DASH, image
// sequences) would open other files or URLs that a member's bytes name.
#pragma once

namespace le {

inline constexpr char kMediaFormats[] = "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,mpegts,h264,hevc";

}  // namespace le

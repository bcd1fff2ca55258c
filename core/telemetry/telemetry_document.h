// The telemetry report: every counter and value with a machine snapshot, as
// one JSON document.
#pragma once

#include <string>

namespace le::telemetry {

// The format tag of the document's "format" member.
inline constexpr const char* kDocumentFormat = "facecore-telemetry-v1";

// Builds the document:
//   {"format": "facecore-telemetry-v1", "facecore": "<version>",
//    "machine": {"cpu_model", "logical_cores", "online_cores", "simd_target",
//                "onnxruntime", "libavcodec", "ffmpeg", "os",
//                "memory_total_bytes", "memory_available_bytes", "process_rss_bytes"},
//    "counters": {"<name>": <count>, ...},
//    "values": {"<name>": {"count", "sum", "mean", "min", "max", "last"}, ...}}
// Names appear sorted; numbers the machine does not report are -1.
std::string document();

// `text` as a JSON string literal, quotes included.
std::string jsonString(const std::string& text);

}  // namespace le::telemetry

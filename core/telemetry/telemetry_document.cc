#include "core/telemetry/telemetry_document.h"

#include <cmath>
#include <cstdio>

#include "core/telemetry/machine_info.h"
#include "core/telemetry/telemetry.h"
#include "le/le.h"

namespace le::telemetry {
namespace {

// JSON has no infinities: a sum that overflowed is written as null.
std::string number(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

}  // namespace

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

std::string document() {
  const MachineInfo m = machineInfo();
  std::string d = "{\n  \"format\": " + jsonString(kDocumentFormat) + ",\n  \"facecore\": " +
                  jsonString(le_version()) + ",\n  \"machine\": {";
  d += "\n    \"cpu_model\": " + jsonString(m.cpuModel);
  d += ",\n    \"logical_cores\": " + std::to_string(m.logicalCores);
  d += ",\n    \"online_cores\": " + std::to_string(m.onlineCores);
  d += ",\n    \"simd_target\": " + jsonString(m.simdTarget);
  d += ",\n    \"onnxruntime\": " + jsonString(m.onnxRuntime);
  d += ",\n    \"libavcodec\": " + jsonString(m.libavcodec);
  d += ",\n    \"ffmpeg\": " + jsonString(m.ffmpeg);
  d += ",\n    \"os\": " + jsonString(m.os);
  d += ",\n    \"memory_total_bytes\": " + std::to_string(m.memoryTotalBytes);
  d += ",\n    \"memory_available_bytes\": " + std::to_string(m.memoryAvailableBytes);
  d += ",\n    \"process_rss_bytes\": " + std::to_string(m.processRssBytes);
  d += "\n  },\n  \"counters\": {";
  const char* sep = "";
  for (const auto& [name, count] : counters()) {
    d += std::string(sep) + "\n    " + jsonString(name) + ": " + std::to_string(count);
    sep = ",";
  }
  d += "\n  },\n  \"values\": {";
  sep = "";
  for (const auto& [name, s] : values()) {
    d += std::string(sep) + "\n    " + jsonString(name) + ": {\"count\": " + std::to_string(s.count) +
         ", \"sum\": " + number(s.sum) + ", \"mean\": " + number(s.count ? s.sum / double(s.count) : 0.0) +
         ", \"min\": " + number(s.min) + ", \"max\": " + number(s.max) + ", \"last\": " + number(s.last) + "}";
    sep = ",";
  }
  d += "\n  }\n}\n";
  return d;
}

}  // namespace le::telemetry

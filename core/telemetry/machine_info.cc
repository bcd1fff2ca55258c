#include "core/telemetry/machine_info.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "core/foundation/simd.h"
#include "onnxruntime_c_api.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

namespace le::telemetry {
namespace {

std::string trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// "key : value" lines of a /proc file; the first line whose key matches.
std::string procField(const char* file, const std::string& key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && trim(line.substr(0, colon)) == key) return trim(line.substr(colon + 1));
  }
  return "";
}

// "<n> kB" of /proc/meminfo and /proc/self/status, in bytes; -1 when absent.
int64_t procKib(const char* file, const std::string& key) {
  const std::string v = procField(file, key);
  if (v.empty()) return -1;
  try {
    return int64_t(std::stoll(v)) * 1024;
  } catch (...) {
    return -1;
  }
}

std::string cpuModel() {
  std::string m = procField("/proc/cpuinfo", "model name");
  if (m.empty()) m = procField("/proc/cpuinfo", "Hardware");
  if (m.empty()) {
    // Arm kernels list only the implementer and part numbers.
    const std::string impl = procField("/proc/cpuinfo", "CPU implementer");
    const std::string part = procField("/proc/cpuinfo", "CPU part");
    if (!impl.empty()) m = "implementer " + impl + " part " + part;
  }
  return m.empty() ? "unknown" : m;
}

}  // namespace

MachineInfo machineInfo() {
  MachineInfo m;
  m.cpuModel = cpuModel();
  m.logicalCores = int(sysconf(_SC_NPROCESSORS_CONF));
  m.onlineCores = int(sysconf(_SC_NPROCESSORS_ONLN));
  m.simdTarget = simd::target();
  const OrtApiBase* ort = OrtGetApiBase();
  const char* ortVersion = ort ? ort->GetVersionString() : nullptr;
  m.onnxRuntime = ortVersion ? ortVersion : "unknown";
  const unsigned v = avcodec_version();
  m.libavcodec = std::to_string(AV_VERSION_MAJOR(v)) + "." + std::to_string(AV_VERSION_MINOR(v)) + "." +
                 std::to_string(AV_VERSION_MICRO(v));
  m.ffmpeg = av_version_info();
  struct utsname u {};
  if (uname(&u) == 0) m.os = std::string(u.sysname) + " " + u.release + " " + u.machine;
  m.memoryTotalBytes = procKib("/proc/meminfo", "MemTotal");
  m.memoryAvailableBytes = procKib("/proc/meminfo", "MemAvailable");
  m.processRssBytes = procKib("/proc/self/status", "VmRSS");
  return m;
}

}  // namespace le::telemetry

// The bundle doctor: runs every loader of the engine over an avatar bundle
// (a directory or an IMX container) without rendering, and says, one line a
// member, what each loader accepted or refused and why, then what the
// bundle can do and its sizes.
//
//   le_bundle BUNDLE [--json] [--encoder FILE]
//
// Exit codes: 0 the bundle opens for rendering, 1 it does not, 2 bad usage.
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "le/le.h"
#include "tools/bundle_doctor.h"
#include "tools/cli_options.h"

int main(int argc, char** argv) {
  bool json = false;
  le::doctor::Options options;
  le::cli::OptionParser parser("le_bundle",
                               "le_bundle BUNDLE [options]\n"
                               "  BUNDLE  a bundle directory or IMX container; exits 0 when it opens for rendering",
                               le_version());
  parser.flag("--json", "print the report as JSON", &json)
      .text("--encoder", "FILE", "speech encoder for checking the speech models (default: $W2V_ONNX)",
            &options.speechEncoder);
  const std::vector<std::string> pos = parser.parseOrExit(argc, argv);
  if (pos.size() != 1) parser.fail("need one bundle");

  // The loaders' own progress lines go to stderr; the decoder's are noise here.
  av_log_set_level(AV_LOG_ERROR);
  const le::doctor::BundleReport report = le::doctor::examineBundle(pos[0], options);
  const std::string text = json ? le::doctor::formatJson(report) : le::doctor::formatText(report);
  std::fputs(text.c_str(), stdout);
  return report.renders ? 0 : 1;
}

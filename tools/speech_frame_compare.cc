// Compares two stage dumps of le_speech_frame_dump, the native build's and
// another machine's, and fails when a stage moved further than rounding
// explains. Exact stages (idle frames, source indices, paste footprints)
// must match byte for byte; float stages keep within the tolerances below;
// each pasted frame keeps within what its own crop's difference allows
// (tools/frame_tolerance.h has the argument).
//
// Usage: le_speech_frame_compare NATIVE OTHER
// Prints one line per stage with the largest difference measured.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "le/le.h"
#include "tools/cli_options.h"
#include "tools/speech_frame_check.h"
#include "tools/stage_dump.h"

int main(int argc, char** argv) {
  le::cli::OptionParser parser("le_speech_frame_compare",
                               "le_speech_frame_compare NATIVE OTHER\n"
                               "  NATIVE  stage dump of the reference build\n"
                               "  OTHER   stage dump of the build checked against it",
                               le_version());
  const std::vector<std::string> pos = parser.parseOrExit(argc, argv);
  if (pos.size() != 2) parser.fail("takes two stage dumps");
  try {
    const le::tools::StageDump a = le::tools::StageDump::read(pos[0]), b = le::tools::StageDump::read(pos[1]);
    std::vector<std::string> lines;
    const int failed = le::tools::compareSpeechDumps(a, b, &lines);
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    if (failed) std::fprintf(stderr, "le_speech_frame_compare: %d checks failed\n", failed);
    return failed ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "le_speech_frame_compare: %s\n", e.what());
    return 2;
  }
}

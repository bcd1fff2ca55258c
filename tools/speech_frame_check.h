// The stage-by-stage comparison of two le_speech_frame_dump files (the
// tolerances and their argument are in tools/frame_tolerance.h).
#pragma once

#include <string>
#include <vector>

#include "tools/stage_dump.h"

namespace le::tools {

// Checks `other` against `native`: exact stages byte for byte, float stages
// within their tolerances, pasted frames within what their crops' difference
// allows. Appends one line per check ("ok   ..." or "FAIL ...") and a
// summary to `lines`; returns the number of failed checks. Throws
// std::runtime_error when a record is missing or mis-sized.
int compareSpeechDumps(const StageDump& native, const StageDump& other, std::vector<std::string>* lines);

}  // namespace le::tools

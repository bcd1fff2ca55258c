// The one copy direct-mode pulls add on top of the engine's render: the
// engine renders RGBA, the host takes packed RGB.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirelund::engine {

// Writes the RGB bytes of `pixels` RGBA pixels into rgb (3 bytes a pixel).
void rgbaToRgb(const uint8_t* rgba, uint8_t* rgb, size_t pixels);

}  // namespace mirelund::engine

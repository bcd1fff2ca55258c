// Turning the path a host names a bundle by into the bundle directory.
#pragma once

#include <string>

namespace le {

// The bundle directory for `path`, which may be a plain directory, an IMX
// container (with or without the ".imx" suffix), or the directory an earlier
// run unpacked a container into (its container, when still present, is
// checked again). Paths that are none of these come back unchanged. Throws
// std::runtime_error only when unpacking a container fails.
std::string resolveBundlePath(const std::string& path);

}  // namespace le

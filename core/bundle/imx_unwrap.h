// Unpacking ("unwrapping") an IMX container into a directory beside it, once:
// a stamp of the container's identity in a marker file lets later
// resolutions reuse the directory while the container is unchanged.
//
// For a container C the destination D is <root>/<name>.lebundle, where name
// is C's last component without a final ".imx" (".lebundle" is not doubled)
// and root is $LE_IMX_UNWRAP_ROOT when set and non-empty, else C's
// directory. Beside D live the marker D.imx_unwrapped, a lock file
// D.imx_lock that serialises unwraps across processes, and while an unwrap
// runs the staging directory D.imx_partial.
#pragma once

#include <string>

namespace le {

// Destination directory D for container `container`.
std::string unwrapDestination(const std::string& container);

// The stamp line a marker must hold for `container` to count as unwrapped;
// throws "cannot stat container <path>" when it has no metadata.
std::string unwrapStamp(const std::string& container);

// Returns D, unpacking the container first unless D exists and its marker
// holds the container's current stamp. Serialised by a process-wide mutex
// and, across processes, by a lock file beside the marker. The container is
// untrusted: unsafe member names are refused, nothing is written outside D,
// members appear only complete, and D replaces the old directory only once
// every member is in place. Throws std::runtime_error on failure.
std::string unwrapOnce(const std::string& container);

}  // namespace le

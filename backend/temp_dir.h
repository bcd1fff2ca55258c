// The private temporary directory a container is unpacked into, and its
// removal.
#pragma once

#include <string>

namespace mirelund::engine {

// Creates "<root>/libengine-c2l-XXXXXX" (mode 0700) where root is $TMPDIR
// when set and non-empty, else "/tmp", without trailing "/". Returns the
// directory, or empty when it cannot be created.
std::string makePrivateTempDir();

// Removes path and everything under it. Symbolic links are removed, never
// followed, so nothing outside the tree is touched; a directory that cannot
// be listed is only removed with rmdir. Returns true when path is gone.
bool removeTree(const std::string& path);

}  // namespace mirelund::engine

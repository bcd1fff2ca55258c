// Small POSIX path and directory helpers used while resolving and unpacking
// bundles. They work on byte strings with "/" as the only separator.
#pragma once

#include <string>

namespace le {

// Removes trailing "/" while the path is longer than one byte ("/" stays "/").
std::string rstripSlash(const std::string& path);

// The last component after rstripSlash(), or the whole path without a "/".
std::string baseName(const std::string& path);

// The part before the last "/" after rstripSlash(); "." without a "/", "/"
// when the only "/" is the first byte.
std::string dirName(const std::string& path);

// Creates `path` and its missing parents with mode 0755. True when the path
// is a directory afterwards ("/" and "." always succeed, "" always fails).
bool mkdirs(const std::string& path);

// Removes a file, a link (never its target) or a whole directory tree.
// Returns 0 or the errno of the first failure (ENOENT for a missing path).
int rmTree(const std::string& path);

}  // namespace le

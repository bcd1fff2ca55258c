// Whole-file reads of bundle members.
#pragma once

#include <string>

namespace le {

// All bytes of a regular file. Throws "cannot open <path>" when it cannot be
// opened (or is not a regular file) and "short read <path>" when fewer bytes
// arrive than its size.
std::string readFile(const std::string& path);

// All bytes of a file read in 8192-byte chunks until a read returns nothing.
// Throws "cannot open <path>".
std::string readText(const std::string& path);

}  // namespace le

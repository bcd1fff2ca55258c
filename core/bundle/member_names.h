// Bundle member names. Loaders ask for members by their long-standing
// ("welded") names; newer bundles may carry the same files under canonical
// names instead. resolveMember() finds whichever the bundle has.
#pragma once

#include <string>

namespace le {

// The canonical name of the welded member `name`; `name` itself when it has
// no other name.
std::string canonicalMember(const std::string& name);

// Full path of member `name` in bundle directory `dir`: the welded name when
// it can be opened (it wins when both exist), else the canonical name when
// that can be opened, else the welded name. Never throws; the returned path
// may not exist.
std::string resolveMember(const std::string& dir, const std::string& name);

}  // namespace le

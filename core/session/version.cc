// Library identity: version and keypoint contract.
#include "le/le.h"

#include "core/foundation/c_boundary.h"

extern "C" {

LE_API const char* le_version(void) { return LE_VERSION_STRING; }

LE_API int le_host_kp_rows(void) { return le::kHostKpRows; }

LE_API const char* le_last_error(void) {
  return le::capi::lastError(le::capi::Family::kCore).c_str();
}

}  // extern "C"

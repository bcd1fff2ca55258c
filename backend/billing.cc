// The plug-in's billing-type entry: a constant the host reads before open.
#include "backend/backend_export.h"

LB_EXPORT const char* be_engine_corvane2_light_billing_type(void) {
  return "self-hosted-corvane-2-model";
}

// The one export macro of the plug-in: everything else stays hidden.
#pragma once

#include "backend/lightbackend.h"

#define LB_EXPORT extern "C" LIGHTBACKEND_API

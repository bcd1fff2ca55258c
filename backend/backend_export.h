// The one export macro of the plug-in: everything else stays hidden.
#pragma once

#define LB_EXPORT extern "C" __attribute__((visibility("default")))

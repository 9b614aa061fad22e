// The save and the restore wait for the unit's answers through the link's
// capture helper; this header keeps their old include working.
#pragma once

#include "link/capture_scope.h"

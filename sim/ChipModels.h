// The chips' line-level models now live with their rows in chips/; this name
// stays for the code that includes it.
#pragma once

#include "chips/LineModels.h"

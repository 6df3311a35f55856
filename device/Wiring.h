// The chips' lines on the port now live with the rest of what the program
// knows of each chip, in chips/; this name stays for the code that reads them.
#pragma once

#include "chips/Wiring.h"

#include "PortAccessLog.h"

namespace tarvel {

namespace {
// Constant-initialised: usable from any static's constructor or destructor.
constinit PortAccessLog gRecent;
}  // namespace

PortAccessLog& RecentPortAccesses() { return gRecent; }

}  // namespace tarvel

// The process's link takes its backend from TARVEL_PORT (at its first
// session) and records every access into the process's capture (the ring
// the Port Trace window draws, the TARVEL_TRACE trace). The program calls
// this once at start; links shared from the process's link inherit both.
#pragma once

namespace tarvel {

void UseProcessPorts();

}  // namespace tarvel

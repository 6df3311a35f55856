#include "core/Signals.h"

namespace tarvel {

void InstallStopHandlers() { platform::InstallStopHandlers(); }
int StopSignal() { return platform::StopSignal(); }
int StopSignalFd() { return platform::StopSignalFd(); }
void FinishStopRequest() { platform::FinishStopRequest(); }
int GiveUpRoot(WithoutSudoUser orElse) { return platform::GiveUpRoot(orElse); }
bool RunsWithBorrowedPrivileges() { return platform::RunsWithBorrowedPrivileges(); }

const char* BorrowedPrivilegesMessage() {
  return "tarvel: refusing to run set-user-ID or set-group-ID. Reach the parallel port without root "
         "through ppdev: add your user to the 'lp' group (sudo usermod -aG lp $USER, then log in again).";
}

}  // namespace tarvel

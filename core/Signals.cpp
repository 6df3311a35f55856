#include "Signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cerrno>

namespace tarvel {

namespace {

volatile sig_atomic_t stopSignal = 0;
int pipeFds[2] = {-1, -1};

void OnStopSignal(int sig) {
  const int saved = errno;
  if (stopSignal == 0) stopSignal = sig;
  if (pipeFds[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &byte, 1);
  }
  errno = saved;
}

}  // namespace

void InstallStopHandlers() {
  ::signal(SIGXFSZ, SIG_IGN);
  if (pipeFds[0] < 0 && ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) pipeFds[0] = pipeFds[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

int StopSignal() { return stopSignal; }
int StopSignalFd() { return pipeFds[0]; }

void FinishStopRequest() {
  const int sig = stopSignal;
  if (sig == 0) return;
  ::signal(sig, SIG_DFL);
  ::raise(sig);
  ::_exit(128 + sig);
}

bool RunsWithBorrowedPrivileges() { return ::getauxval(AT_SECURE) != 0; }

const char* BorrowedPrivilegesMessage() {
  return "tarvel: refusing to run set-user-ID or set-group-ID. Reach the parallel port without root "
         "through ppdev: add your user to the 'lp' group (sudo usermod -aG lp $USER, then log in again).";
}

}  // namespace tarvel

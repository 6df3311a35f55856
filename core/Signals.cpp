#include "core/Signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <grp.h>

#include <cerrno>
#include <cstdlib>

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

int GiveUpRoot(WithoutSudoUser orElse) {
  if (::geteuid() != 0) return 0;
  constexpr unsigned long kNobody = 65534;
  const auto id = [](const char* name, unsigned long& value) {
    const char* text = std::getenv(name);
    if (text == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && text[0] != '-';
  };
  unsigned long uid = 0, gid = 0;
  const bool given = std::getenv("SUDO_UID") != nullptr || std::getenv("SUDO_GID") != nullptr;
  if (!id("SUDO_UID", uid) || !id("SUDO_GID", gid) || uid == 0) {
    if (orElse == WithoutSudoUser::BecomeNobody) {
      uid = gid = kNobody;
    } else if (!given) {
      return 0;
    } else {
      errno = EINVAL;
      return -1;
    }
  }
  if (::setgroups(0, nullptr) != 0) return -1;
  if (::setresgid(static_cast<gid_t>(gid), static_cast<gid_t>(gid), static_cast<gid_t>(gid)) != 0) return -1;
  if (::setresuid(static_cast<uid_t>(uid), static_cast<uid_t>(uid), static_cast<uid_t>(uid)) != 0) return -1;
  if (::geteuid() == 0 || ::setuid(0) == 0) {  // must be gone for good
    errno = EPERM;
    return -1;
  }
  return 1;
}

bool RunsWithBorrowedPrivileges() { return ::getauxval(AT_SECURE) != 0; }

const char* BorrowedPrivilegesMessage() {
  return "tarvel: refusing to run set-user-ID or set-group-ID. Reach the parallel port without root "
         "through ppdev: add your user to the 'lp' group (sudo usermod -aG lp $USER, then log in again).";
}

}  // namespace tarvel

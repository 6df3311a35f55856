// The platform on Linux (and other POSIX systems).
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/platform/Platform.h"

namespace tarvel::platform {

namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

bool Fail(SystemError& error, int err) {
  error.text = std::strerror(err);
  error.missing = err == ENOENT;
  error.interrupted = err == EINTR;
  error.noReader = err == ENXIO;
  return false;
}

FileKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISDIR(mode)) return FileKind::Folder;
  if (S_ISFIFO(mode)) return FileKind::Fifo;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::Device;
  return FileKind::Other;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Swaps the new file with an existing regular target in one step. Readers
// see the old file or the new one, as with rename; but ext4 flushes a file
// renamed over another (auto_da_alloc), which costs a millisecond per save of
// the bench state, and an exchange is not flushed. Anything else (no target,
// a link, a folder, a file system without exchange) is left to rename.
bool ExchangeWithRegularFile(const std::string& temp, const std::string& target) {
  struct stat st {};
  if (::lstat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0;
}

}  // namespace

std::string ErrorText(int err) { return std::strerror(err); }

// ---- Reading files -----------------------------------------------------------

bool InputFile::Open(const std::string& path, SystemError& error, bool stream) {
  Close();
  // Non-blocking: a FIFO put in the file's place must not stall the run.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return Fail(error, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return Fail(error, err);
  }
  kind_ = KindOfMode(st.st_mode);
  if (stream && kind_ == FileKind::Fifo) {
    // With no writer (a writer waiting in its open counts) a read ends at
    // once with nothing; with one, it finds data or none yet (EAGAIN).
    char first[4096];
    const ssize_t n = ::read(fd, first, sizeof first);
    if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
      const int err = n == 0 ? EPIPE : errno;
      ::close(fd);
      Fail(error, err);
      error.noWriter = n == 0;
      return false;
    }
    if (n > 0) pending_.assign(first, static_cast<std::size_t>(n));
  }
  if (kind_ == FileKind::Regular || stream) {
    // Reads of a regular file never block; clear the flag all the same. A
    // stream's reads wait for its data.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
#ifdef POSIX_FADV_SEQUENTIAL
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  }
  handle_ = fd;
  return true;
}

long long InputFile::Read(char* buffer, std::size_t size, SystemError& error) {
  if (handle_ < 0) return Fail(error, EBADF), -1;
  if (!pending_.empty()) {
    const std::size_t n = std::min(size, pending_.size());
    pending_.copy(buffer, n);
    pending_.erase(0, n);
    return static_cast<long long>(n);
  }
  const ssize_t n = ::read(Fd(handle_), buffer, size);
  if (n < 0) return Fail(error, errno), -1;
  return n;
}

void InputFile::Close() {
  if (handle_ >= 0) ::close(Fd(handle_));
  handle_ = -1;
  pending_.clear();
}

bool KeptFile::Open(const std::string& path, SystemError& error) {
  Close();
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return Fail(error, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = errno;
    ::close(fd);
    if (S_ISREG(st.st_mode)) return Fail(error, err);
    error.text = "not a regular file";
    return false;
  }
  handle_ = fd;
  volume_ = static_cast<std::uint64_t>(st.st_dev);
  index_ = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

bool KeptFile::IsAt(const std::string& path) const {
  struct stat st {};
  return handle_ >= 0 && ::stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == volume_ &&
         static_cast<std::uint64_t>(st.st_ino) == index_;
}

bool KeptFile::ReadAll(std::string& text, std::size_t limit, SystemError& error) {
  if (handle_ < 0) return Fail(error, EBADF);
  char buffer[4096];
  text.clear();
  for (;;) {
    const ssize_t n = ::pread(Fd(handle_), buffer, sizeof buffer, static_cast<off_t>(text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(error, errno);
    if (n == 0) return true;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > limit) {
      error.text = "file too large";
      return false;
    }
  }
}

bool KeptFile::WriteAtStart(const std::string& text) {
  return handle_ >= 0 &&
         ::pwrite(Fd(handle_), text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

void KeptFile::Close() {
  if (handle_ >= 0) ::close(Fd(handle_));
  handle_ = -1;
}

bool KindOf(const std::string& path, FileKind& kind) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  kind = KindOfMode(st.st_mode);
  return true;
}

bool RemoveFile(const std::string& path, SystemError& error) {
  // unlink, not remove: a folder of that name is left alone.
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  return Fail(error, errno);
}

// ---- Replacing files ---------------------------------------------------------

bool ReplacementFile::Begin(const std::string& target, const std::string& tempPrefix, SystemError& error) {
  Abort();
  target_ = target;
  const std::string name = NameOf(target);
  if (name.empty() || name == "." || name == "..") return Fail(error, EISDIR);
  const std::string folder = FolderOf(target);
  std::string pattern = folder + "/" + (tempPrefix.empty() ? "." + name + "." : tempPrefix) + "XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);  // O_EXCL: never follows a planted link
  if (fd < 0) return Fail(error, errno);
  handle_ = fd;
  temp_ = pattern;
  // mkstemp's 0600 would hide the file from the rest of the group: keep the
  // target's own mode, or give a new file the usual one.
  mode_t mode = 0;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    mode = st.st_mode & 0777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (::fchmod(fd, mode) != 0) {
    Fail(error, errno);
    Abort();
    return false;
  }
  return true;
}

bool ReplacementFile::Write(std::string_view bytes, SystemError& error) {
  if (handle_ < 0) return Fail(error, EBADF);
  while (!bytes.empty()) {
    const ssize_t n = ::write(Fd(handle_), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(error, n < 0 ? errno : EIO);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ReplacementFile::Commit(bool sync, SystemError& error) {
  if (handle_ < 0) return Fail(error, EBADF);
  bool ok = true;
  if (sync && ::fsync(Fd(handle_)) != 0) ok = Fail(error, errno);
  if (::close(Fd(handle_)) != 0 && ok) ok = Fail(error, errno);
  handle_ = -1;
  if (ok && !sync && ExchangeWithRegularFile(temp_, target_)) {
    ::unlink(temp_.c_str());  // now the old content
    temp_.clear();
    return true;
  }
  // Renaming replaces a link at the target itself, never the file it names.
  if (ok && ::rename(temp_.c_str(), target_.c_str()) != 0) ok = Fail(error, errno);
  if (!ok) ::unlink(temp_.c_str());
  temp_.clear();
  return ok;
}

void ReplacementFile::Abort() {
  if (handle_ >= 0) {
    ::close(Fd(handle_));
    handle_ = -1;
    ::unlink(temp_.c_str());
  }
  temp_.clear();
}

void RemoveStaleTempFiles(const std::string& folder, const std::string& prefix, int ageSeconds) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const time_t now = std::time(nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
    if (now - st.st_mtime <= ageSeconds) continue;
    ::unlinkat(::dirfd(dir), name.c_str(), 0);
  }
  ::closedir(dir);
}

bool OutputStream::Open(const std::string& path, SystemError& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Fail(error, errno);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  handle_ = fd;
  return true;
}

bool OutputStream::Write(std::string_view bytes, SystemError& error) {
  if (handle_ < 0) return Fail(error, EBADF);
  while (!bytes.empty()) {
    const ssize_t n = ::write(Fd(handle_), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(error, n < 0 ? errno : EIO);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool OutputStream::Close(SystemError& error) {
  if (handle_ < 0) return true;
  const bool ok = ::close(Fd(handle_)) == 0 || Fail(error, errno);
  handle_ = -1;
  return ok;
}

bool IsDevicePath(std::string_view path) { return path.starts_with("/dev/") || path.starts_with("/proc/"); }

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return {argv, argv + argc}; }

const char* EnvironmentValue(const char* name) { return std::getenv(name); }

std::string StateFolder() {
  const char* xdg = std::getenv("XDG_STATE_HOME");
  // An XDG variable holding a relative path is to be ignored.
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/tarvel";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/tarvel";
  return {};
}

std::string InstrumentStateFolder() {
  const char* service = std::getenv("STATE_DIRECTORY");
  if (service != nullptr && service[0] == '/') {
    const std::string folders(service);
    return folders.substr(0, folders.find(':'));
  }
  return StateFolder();
}

std::string CurrentFolder() {
  std::string where;
  if (char* cwd = ::getcwd(nullptr, 0)) {
    where = cwd;
    std::free(cwd);
  }
  return where;
}

char PathSeparator() { return '/'; }

// ---- The bench lock ----------------------------------------------------------

FileLock::Outcome FileLock::Acquire(const std::string& path, int waitMs, std::string& error) {
  Release();
  const int fd =
      ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int err = errno;
    error = "cannot open " + path + ": " + (err == ELOOP ? "it is a symbolic link" : std::strerror(err));
    return Outcome::Failed;
  }
  handle_ = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    error = path + " is not a regular file owned by you";
    Release();
    return Outcome::Failed;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err != EWOULDBLOCK && err != EINTR) {
      error = "cannot lock " + path + ": " + std::strerror(err);
      Release();
      return Outcome::Failed;
    }
    if (std::chrono::steady_clock::now() >= deadline || StopSignal() != 0) return Outcome::Busy;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Outcome::Locked;
}

// From /proc/locks: the process that holds the flock on this file.
std::string FileLock::Holder() const {
  struct stat st {};
  if (handle_ < 0 || ::fstat(Fd(handle_), &st) != 0) return {};
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  const std::string inode = ":" + std::to_string(st.st_ino);
  std::ifstream locks("/proc/locks");
  std::string line, exact, sameInode;
  while (std::getline(locks, line)) {
    std::istringstream in(line);
    std::string number, kind, mode, access, pid, where;
    if (!(in >> number >> kind) || kind != "FLOCK") continue;  // "->" marks a waiter
    if (!(in >> mode >> access >> pid >> where)) continue;
    if (where == id) exact = pid;
    // Layered file systems report the lower file's device.
    else if (where.size() > inode.size() && where.ends_with(inode)) sameInode = pid;
  }
  const std::string pid = exact.empty() ? sameInode : exact;
  if (pid.empty()) return {};
  std::string name;
  std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
  return "process " + pid + (name.empty() ? "" : " (" + name + ")");
}

void FileLock::Release() {
  if (handle_ >= 0) ::close(Fd(handle_));  // closing drops the lock
  handle_ = -1;
}

// ---- Time ----------------------------------------------------------------------

std::int64_t MonotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void PreferPreciseWakeUps() {
  // The kernel may defer a sleeping thread's wake-up by its timer slack
  // (50 us by default) to batch wake-ups; a dwell wants the deadline itself.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

void SleepUntilNs(std::int64_t deadline) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(deadline / 1'000'000'000);
  ts.tv_nsec = static_cast<long>(deadline % 1'000'000'000);
  ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);  // EINTR: the caller looks at stop
}

// ---- Stop requests and privileges ---------------------------------------------

namespace {

volatile sig_atomic_t stopSignal = 0;
int pipeFds[2] = {-1, -1};
bool installed = false;

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
  installed = true;
}

int StopSignal() { return stopSignal; }
int StopSignalFd() { return pipeFds[0]; }
bool StopHandlersInstalled() { return installed && pipeFds[0] >= 0; }
void IgnoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

namespace {
void (*divertedTo)() = nullptr;
void OnDivertedSignal(int) { divertedTo(); }
struct SavedActions {
  struct sigaction interrupt {
  }, terminate{};
};
}  // namespace

StopDiversion::StopDiversion(void (*onStop)()) {
  auto* saved = new SavedActions;
  divertedTo = onStop;
  struct sigaction action {};
  action.sa_handler = OnDivertedSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a sleeping run wakes at once
  ::sigaction(SIGINT, &action, &saved->interrupt);
  ::sigaction(SIGTERM, &action, &saved->terminate);
  saved_ = saved;
}

StopDiversion::~StopDiversion() {
  auto* saved = static_cast<SavedActions*>(saved_);
  ::sigaction(SIGINT, &saved->interrupt, nullptr);
  ::sigaction(SIGTERM, &saved->terminate, nullptr);
  delete saved;
}

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

bool RunsAsRoot() { return ::geteuid() == 0; }
bool RunsWithBorrowedPrivileges() { return ::getauxval(AT_SECURE) != 0; }

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }
bool InteractiveDesktop() { return false; }
void ShowMessageBox(const std::string&, const std::string&, BoxIcon) {}

// ---- Shared libraries ------------------------------------------------------------

void* OpenLibrary(const std::string& name, std::string& reason) {
  void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    reason = why != nullptr ? why : name + " cannot be loaded";
  }
  return handle;
}

void* LibrarySymbol(void* library, const char* name) { return ::dlsym(library, name); }
void CloseLibrary(void* library) { ::dlclose(library); }

// ---- Sockets -----------------------------------------------------------------------

namespace {

std::string FormatAddress(const sockaddr_storage& a, socklen_t length) {
  char host[NI_MAXHOST] = "", port[NI_MAXSERV] = "";
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&a), length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  return a.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

bool IsLoopback(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (a.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
    if (IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) && v6.sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

}  // namespace

Socket Listen(const std::string& host, const std::string& port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    error = ::gai_strerror(rc);
    return kNoSocket;
  }
  int fd = -1;
  int err = 0;
  for (addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
      err = errno;
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) error = std::strerror(err);
  return fd < 0 ? kNoSocket : fd;
}

std::string PeerAddress(Socket s) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(Fd(s), reinterpret_cast<sockaddr*>(&peer), &length) != 0) return "?";
  return FormatAddress(peer, length);
}

std::string HostName() {
  char host[256] = "";
  if (::gethostname(host, sizeof host - 1) != 0) return {};
  return host;
}

std::string LocalAddress(Socket s, bool& loopback) {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&bound), &length);
  loopback = IsLoopback(bound);
  return FormatAddress(bound, length);
}

namespace {

bool SameHost(const sockaddr* a, const sockaddr_storage& b) {
  if (a == nullptr || a->sa_family != b.ss_family) return false;
  if (a->sa_family == AF_INET)
    return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
  if (a->sa_family == AF_INET6)
    return IN6_ARE_ADDR_EQUAL(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                              &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr);
  return false;
}

std::string NumericHost(const sockaddr* a) {
  char host[NI_MAXHOST] = "";
  const socklen_t length = a->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (::getnameinfo(a, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return {};
  return host;
}

}  // namespace

NetworkInterface LocalInterface(Socket s) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  NetworkInterface found;
  if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&local), &length) != 0) return found;
  if (local.ss_family == AF_INET6) {  // an IPv4 client of a dual-stack socket
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(local);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      sockaddr_in v4{};
      v4.sin_family = AF_INET;
      std::memcpy(&v4.sin_addr, &v6.sin6_addr.s6_addr[12], sizeof v4.sin_addr);
      local = {};
      std::memcpy(&local, &v4, sizeof v4);
    }
  }
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return found;
  for (const ifaddrs* i = list; i != nullptr && found.name.empty(); i = i->ifa_next) {
    if (!SameHost(i->ifa_addr, local)) continue;
    found.name = i->ifa_name;
    if (i->ifa_netmask != nullptr) found.mask = NumericHost(i->ifa_netmask);
  }
  for (const ifaddrs* i = list; i != nullptr && !found.name.empty(); i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET || found.name != i->ifa_name) continue;
    const auto* link = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
    for (std::size_t k = 0; k < link->sll_halen && k < sizeof link->sll_addr; ++k) {
      char octet[4] = "";
      std::snprintf(octet, sizeof octet, "%02x", link->sll_addr[k]);
      found.mac += (k == 0 ? "" : ":") + std::string(octet);
    }
    break;
  }
  ::freeifaddrs(list);
  return found;
}

AcceptOutcome Accept(Socket listener, Socket& client, std::string& error) {
  const int fd = ::accept4(Fd(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    // No connection after all: the peer left, or accept passed on a network
    // error of that connection's own. Nothing to wait for.
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED || err == EPROTO ||
        err == ENETDOWN || err == ENOPROTOOPT || err == EHOSTDOWN || err == ENONET || err == EHOSTUNREACH ||
        err == EOPNOTSUPP || err == ENETUNREACH) {
      return AcceptOutcome::Nothing;
    }
    error = std::strerror(err);
    return AcceptOutcome::Exhausted;
  }
  const int one = 1;  // answers are short: send them at once
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  client = fd;
  return AcceptOutcome::Accepted;
}

long long Receive(Socket s, char* buffer, std::size_t size) {
  const ssize_t n = ::recv(Fd(s), buffer, size, 0);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
  return n;
}

long long Send(Socket s, const char* data, std::size_t size) {
  const ssize_t n = ::send(Fd(s), data, size, MSG_NOSIGNAL);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
  return n;
}

void CloseSocket(Socket s) {
  if (s >= 0) ::close(Fd(s));
}

PollOutcome Poll(std::vector<PollEntry>& entries, int timeoutMs, std::string& error) {
  std::vector<pollfd> fds;
  fds.reserve(entries.size() + 1);
  fds.push_back({StopSignalFd(), POLLIN, 0});
  for (const PollEntry& e : entries) {
    const short events = static_cast<short>((e.wantRead ? POLLIN : 0) | (e.wantWrite ? POLLOUT : 0));
    fds.push_back({e.socket == kNoSocket ? -1 : Fd(e.socket), events, 0});  // poll ignores -1
  }
  for (PollEntry& e : entries) e.readable = e.hangUp = false;
  if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
    if (errno == EINTR) return PollOutcome::Ready;
    error = std::strerror(errno);
    return PollOutcome::Failed;
  }
  if (fds[0].revents != 0) return PollOutcome::Stopped;  // SIGINT or SIGTERM
  for (std::size_t i = 0; i < entries.size(); ++i) {
    entries[i].readable = (fds[i + 1].revents & POLLIN) != 0;
    entries[i].hangUp = (fds[i + 1].revents & (POLLHUP | POLLERR)) != 0;
  }
  return PollOutcome::Ready;
}

}  // namespace tarvel::platform

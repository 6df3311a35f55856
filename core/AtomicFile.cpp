#include "core/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tarvel {

namespace {

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

}  // namespace

namespace {

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

AtomicFile::~AtomicFile() { Abort(); }

bool AtomicFile::Fail(int err) {
  if (error_.empty()) error_ = std::strerror(err);
  return false;
}

bool AtomicFile::Begin(const std::string& target, const std::string& tempPrefix) {
  Abort();
  error_.clear();
  target_ = target;
  const std::string name = NameOf(target);
  if (name.empty() || name == "." || name == "..") return Fail(EISDIR);
  const std::string folder = FolderOf(target);
  std::string pattern = folder + "/" + (tempPrefix.empty() ? "." + name + "." : tempPrefix) + "XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return Fail(errno);
  fd_ = fd;
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
  if (::fchmod(fd_, mode) != 0) {
    Fail(errno);
    Abort();
    return false;
  }
  return true;
}

bool AtomicFile::Write(std::string_view bytes) {
  if (fd_ < 0 || !error_.empty()) return false;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(n < 0 ? errno : EIO);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool AtomicFile::Commit(bool sync) {
  if (fd_ < 0) return Fail(EBADF);
  bool ok = error_.empty();
  if (ok && sync && ::fsync(fd_) != 0) ok = Fail(errno);
  if (::close(fd_) != 0 && ok) ok = Fail(errno);
  fd_ = -1;
  if (ok && !sync && ExchangeWithRegularFile(temp_, target_)) {
    ::unlink(temp_.c_str());  // now the old content
    temp_.clear();
    return true;
  }
  if (ok && ::rename(temp_.c_str(), target_.c_str()) != 0) ok = Fail(errno);
  if (!ok) ::unlink(temp_.c_str());
  temp_.clear();
  return ok;
}

void AtomicFile::Abort() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
    ::unlink(temp_.c_str());
  }
  temp_.clear();
}

bool WriteFileAtomically(const std::string& target, std::string_view content, std::string& error, bool sync,
                         const std::string& tempPrefix) {
  AtomicFile file;
  const bool ok = file.Begin(target, tempPrefix) && file.Write(content) && file.Commit(sync);
  if (!ok) error = file.error();
  return ok;
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

}  // namespace tarvel

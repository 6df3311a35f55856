#include "core/AtomicFile.h"

#include <cerrno>

namespace tarvel {

AtomicFile::~AtomicFile() { Abort(); }

bool AtomicFile::Fail(const platform::SystemError& error) {
  if (error_.empty()) error_ = error.text;
  return false;
}

bool AtomicFile::Begin(const std::string& target, const std::string& tempPrefix) {
  Abort();
  error_.clear();
  target_ = target;
  platform::SystemError error;
  return file_.Begin(target, tempPrefix, error) || Fail(error);
}

bool AtomicFile::Write(std::string_view bytes) {
  if (!file_.active() || !error_.empty()) return false;
  platform::SystemError error;
  return file_.Write(bytes, error) || Fail(error);
}

bool AtomicFile::Commit(bool sync) {
  platform::SystemError error;
  if (!file_.active()) return Fail({platform::ErrorText(EBADF)});
  if (!error_.empty()) {
    file_.Abort();
    return false;
  }
  return file_.Commit(sync, error) || Fail(error);
}

void AtomicFile::Abort() { file_.Abort(); }

bool WriteFileAtomically(const std::string& target, std::string_view content, std::string& error, bool sync,
                         const std::string& tempPrefix) {
  AtomicFile file;
  const bool ok = file.Begin(target, tempPrefix) && file.Write(content) && file.Commit(sync);
  if (!ok) error = file.error();
  return ok;
}

void RemoveStaleTempFiles(const std::string& folder, const std::string& prefix, int ageSeconds) {
  platform::RemoveStaleTempFiles(folder, prefix, ageSeconds);
}

}  // namespace tarvel

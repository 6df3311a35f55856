#include "core/AtomicFile.h"

#include <cerrno>
#include <filesystem>

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

bool OutputFile::Fail(const std::string& text) {
  if (error_.empty()) error_ = text;
  return false;
}

bool OutputFile::Open(const std::string& path) {
  Abort();
  error_.clear();
  // What the path names, a link followed: a stream (a FIFO, a terminal,
  // standard output) is given the text; no reader on a FIFO is a failure,
  // not a wait.
  platform::FileKind kind{};
  const bool exists = platform::KindOf(path, kind);
  if (exists && kind == platform::FileKind::Folder) return Fail(platform::ErrorText(EISDIR));
  if ((exists && kind != platform::FileKind::Regular) || platform::IsDevicePath(path)) {
    platform::SystemError failure;
    if (stream_.Open(path, failure)) return true;
    return Fail(failure.noReader && exists && kind == platform::FileKind::Fifo ? "no process reads the FIFO"
                                                                               : failure.text);
  }
  // Temporaries a killed run left for this same target go first.
  const std::filesystem::path target(path);
  RemoveStaleTempFiles(target.has_parent_path() ? target.parent_path().string() : std::string("."),
                       "." + target.filename().string() + ".", kStaleTempSeconds);
  return file_.Begin(path) || Fail(file_.error());
}

bool OutputFile::Write(std::string_view bytes) {
  if (!error_.empty()) return false;
  if (!stream_.active()) return file_.Write(bytes) || Fail(file_.error());
  platform::SystemError failure;
  return stream_.Write(bytes, failure) || Fail(failure.text);
}

bool OutputFile::Commit(bool sync) {
  if (!active()) return Fail(platform::ErrorText(EBADF));
  if (file_.active()) {
    if (!error_.empty()) file_.Abort();
    return error_.empty() && (file_.Commit(sync) || Fail(file_.error()));
  }
  platform::SystemError failure;
  return (stream_.Close(failure) || Fail(failure.text)) && error_.empty();
}

void OutputFile::Abort() {
  file_.Abort();
  platform::SystemError ignored;
  stream_.Close(ignored);
}

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

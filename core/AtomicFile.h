// Safe file replacement, shared by every writer of the program (bench state,
// port trace, result file).
//
// The new content goes to a temporary file created exclusively (so it never
// follows a planted link) in the target's own folder; it is written, checked
// and put in the target's place in one step (core/platform: rename or
// exchange on POSIX, ReplaceFileW/MoveFileExW on Windows), so a reader sees
// the old file or the whole new one, never a part. The temporary file is
// removed on any failure. A link at the target is itself replaced, never the
// file it points to.
#pragma once

#include <string>
#include <string_view>

#include "core/platform/Platform.h"

namespace tarvel {

class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();  // removes an uncommitted temporary file
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file beside `target`, named `tempPrefix` + six
  // random characters (default: "." + the target's name + "."). The file gets
  // the target's permission bits if it exists, else 0666 less the umask.
  // False with error() on failure.
  bool Begin(const std::string& target, const std::string& tempPrefix = {});
  // Appends bytes; false once any write failed (the first error is kept).
  bool Write(std::string_view bytes);
  // Closes (after fsync when `sync`) and renames over the target (without
  // `sync`, an existing regular target is exchanged with it and the old
  // content removed: as atomic, and cheaper on ext4).
  bool Commit(bool sync = false);
  // Drops the temporary file.
  void Abort();

  bool active() const { return file_.active(); }
  const std::string& tempPath() const { return file_.tempPath(); }
  const std::string& target() const { return target_; }
  // "strerror" text of the first failure.
  const std::string& error() const { return error_; }

 private:
  bool Fail(const platform::SystemError& error);

  std::string target_, error_;
  platform::ReplacementFile file_;
};

// A file the user named for an output of the program (the port trace, a
// sweep log). What is at the path, a link followed, decides how it is
// written:
// - a FIFO or a character device, or a name under /dev or /proc such as
//   /dev/stdout, gets the text directly and is never replaced (nor is a
//   link to one); a FIFO that no process reads is refused at once;
// - anything else is replaced in one step through an AtomicFile (a link to
//   a regular file is itself replaced, never the file it points to, so a
//   link planted in a shared folder leads nowhere), after the temporaries a
//   killed run left for the same target (older than kStaleTempSeconds) are
//   removed.
class OutputFile {
 public:
  // False with error() for a folder, a FIFO nobody reads, or a folder that
  // takes no temporary file.
  bool Open(const std::string& path);
  bool Write(std::string_view bytes);
  // Puts the file in place (see AtomicFile::Commit) or closes the stream;
  // false with error() when anything failed.
  bool Commit(bool sync = false);
  // Drops the temporary file; a stream is closed as it is.
  void Abort();

  bool active() const { return file_.active() || stream_.active(); }
  // "strerror" text of the first failure, or a sentence for the cases above.
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& text);

  AtomicFile file_;
  platform::OutputStream stream_;
  std::string error_;
};

// Replaces `target` with `content` in one step; false with `error` (the
// system's reason) on failure.
bool WriteFileAtomically(const std::string& target, std::string_view content, std::string& error,
                         bool sync = false, const std::string& tempPrefix = {});

// Removes this user's regular files named `prefix` + six characters in
// `folder` whose last change is older than `ageSeconds`: temporary files left
// by a run that was killed.
void RemoveStaleTempFiles(const std::string& folder, const std::string& prefix, int ageSeconds);
// The age past which a temporary file is a killed run's, not a running one's.
constexpr int kStaleTempSeconds = 60;

}  // namespace tarvel

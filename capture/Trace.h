// Port trace: every port access of the process, written as a Value Change
// Dump that GTKWave and sigrok/PulseView open.
//
// One 1-bit wire per data line D0..D7 and per status input S3..S7. Access i
// (counted from 0) stands at time step #i (1 us per step); a closing step
// follows the last access. The data lines hold the byte last written, the
// status inputs the byte last read. Before the first write (or read) the
// register's level is not known, so those wires start at the level of the
// first write (or read); wires never sampled start and stay at 0.
//
// A streaming trace turns accesses into text as they happen and hands it to
// its sink in chunks, so its memory stays bounded however long the session:
// it holds back at most kMaxPendingEvents accesses while waiting for the
// first read (the status wires' starting level); a session that has not read
// by then starts its status wires at 0.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel {

class PortTrace {
 public:
  // Receives the VCD text in order; false stops the stream.
  using Sink = std::function<bool(std::string_view)>;
  static constexpr std::size_t kMaxPendingEvents = 16384;
  static constexpr std::size_t kChunkBytes = 65536;

  void RecordWrite(std::uint8_t data) { Record(static_cast<std::uint16_t>(data)); }
  void RecordRead(std::uint8_t status) { Record(static_cast<std::uint16_t>(kReadFlag | status)); }
  // Accesses recorded.
  std::size_t size() const { return count_; }
  void clear();

  // The whole VCD of what was recorded (a trace without a sink).
  std::string ToVcd() const;

  // From now on the text goes to `sink`; call before the first access.
  void StreamTo(Sink sink);
  // Writes what is still held back and the closing step; false when the
  // sink failed at any time.
  bool FinishStream();
  // Bytes held in memory for the stream (events waiting and text not yet
  // handed to the sink).
  std::size_t BufferedBytes() const { return pending_.capacity() * sizeof(std::uint16_t) + text_.capacity(); }

 private:
  static constexpr std::uint16_t kReadFlag = 0x100;
  void Record(std::uint16_t event);
  void Start(std::string& out, const std::vector<std::uint16_t>& events);
  void Encode(std::string& out, std::uint16_t event);
  void Flush(bool all);
  void Drain();  // starts the text with the accesses held back

  std::vector<std::uint16_t> pending_;  // all events without a sink
  std::string text_;
  Sink sink_;
  bool started_ = false, sinkFailed_ = false, finished_ = false, haveData_ = false, haveStatus_ = false;
  std::uint8_t data_ = 0, status_ = 0;
  std::size_t count_ = 0, encoded_ = 0;
};

// The trace named by TARVEL_TRACE, or nullptr when it is unset or empty,
// written as an OutputFile (core/AtomicFile.h): it streams to a temporary
// file beside that path, renamed into place when the process ends; a FIFO or
// character device (or a path under /dev or /proc, such as /dev/stdout)
// gets the text directly. A process that made no port access leaves the
// path as it was.
PortTrace* ProcessTrace();
// Finishes the process trace now (also done at exit); false if it could not
// be written, after a one-line warning naming the path and the reason.
bool FlushProcessTrace();

}  // namespace tarvel

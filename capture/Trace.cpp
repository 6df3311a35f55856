#include "capture/Trace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "core/AtomicFile.h"
#include "core/platform/Platform.h"

namespace tarvel {

namespace {

// Wire order: D0..D7, then S3..S7. Identifier codes are single printable
// characters starting at '!'.
constexpr int kDataWires = 8;
constexpr int kStatusLow = 3;
constexpr int kStatusWires = 5;
constexpr int kWires = kDataWires + kStatusWires;
constexpr std::uint16_t kRead = 0x100;

char WireId(int wire) { return static_cast<char>('!' + wire); }

int Level(std::uint8_t data, std::uint8_t status, int wire) {
  if (wire < kDataWires) return (data >> wire) & 1;
  return (status >> (wire - kDataWires + kStatusLow)) & 1;
}

struct Encoder {
  std::uint8_t data = 0, status = 0;
  std::size_t index = 0;

  // Header and starting levels: the first byte written and the first byte
  // read among `events`.
  void Start(std::string& out, const std::vector<std::uint16_t>& events) {
    out += "$version Tarvel Control Software port trace $end\n";
    out +=
        "$comment One time step per port access. D0-D7: data register as written; "
        "S3-S7: status register as read. $end\n";
    out += "$timescale 1 us $end\n";
    out += "$scope module lpt $end\n";
    for (int w = 0; w < kWires; ++w) {
      const char kind = w < kDataWires ? 'D' : 'S';
      const int number = w < kDataWires ? w : w - kDataWires + kStatusLow;
      out += "$var wire 1 ";
      out += WireId(w);
      out += ' ';
      out += kind;
      out += static_cast<char>('0' + number);
      out += " $end\n";
    }
    out += "$upscope $end\n$enddefinitions $end\n";
    bool haveData = false, haveStatus = false;
    for (std::uint16_t e : events) {
      if (e & kRead) {
        if (!haveStatus) status = static_cast<std::uint8_t>(e), haveStatus = true;
      } else if (!haveData) {
        data = static_cast<std::uint8_t>(e), haveData = true;
      }
      if (haveData && haveStatus) break;
    }
    out += "#0\n$dumpvars\n";
    for (int w = 0; w < kWires; ++w) {
      out += static_cast<char>('0' + Level(data, status, w));
      out += WireId(w);
      out += '\n';
    }
    out += "$end\n";
  }

  void Encode(std::string& out, std::uint16_t e) {
    std::uint8_t newData = data;
    std::uint8_t newStatus = status;
    if (e & kRead) newStatus = static_cast<std::uint8_t>(e);
    else newData = static_cast<std::uint8_t>(e);
    if (index > 0 && (newData != data || (newStatus ^ status) & 0xF8)) {
      out += '#' + std::to_string(index) + '\n';
      for (int w = 0; w < kWires; ++w) {
        const int after = Level(newData, newStatus, w);
        if (Level(data, status, w) != after) {
          out += static_cast<char>('0' + after);
          out += WireId(w);
          out += '\n';
        }
      }
    }
    data = newData;
    status = newStatus;
    ++index;
  }

  void Close(std::string& out) const {
    if (index > 0) out += '#' + std::to_string(index) + '\n';
  }
};

}  // namespace

void PortTrace::clear() {
  pending_.clear();
  text_.clear();
  started_ = sinkFailed_ = finished_ = haveData_ = haveStatus_ = false;
  data_ = status_ = 0;
  count_ = encoded_ = 0;
}

std::string PortTrace::ToVcd() const {
  std::string out;
  out.reserve(512 + pending_.size() * 8);
  Encoder enc;
  enc.Start(out, pending_);
  for (std::uint16_t e : pending_) enc.Encode(out, e);
  enc.Close(out);
  return out;
}

void PortTrace::StreamTo(Sink sink) {
  sink_ = std::move(sink);
  text_.reserve(kChunkBytes + 1024);
}

void PortTrace::Start(std::string& out, const std::vector<std::uint16_t>& events) {
  Encoder enc;
  enc.Start(out, events);
  data_ = enc.data, status_ = enc.status;
  started_ = true;
}

void PortTrace::Encode(std::string& out, std::uint16_t event) {
  Encoder enc{data_, status_, encoded_};
  enc.Encode(out, event);
  data_ = enc.data, status_ = enc.status, encoded_ = enc.index;
}

void PortTrace::Flush(bool all) {
  if (!all && text_.size() < kChunkBytes) return;
  if (!sinkFailed_ && !text_.empty()) sinkFailed_ = !sink_(text_);
  text_.clear();
}

void PortTrace::Record(std::uint16_t event) {
  ++count_;
  if (!sink_ || finished_) {
    if (!sink_) pending_.push_back(event);
    return;
  }
  if (started_) {
    Encode(text_, event);
    Flush(false);
    return;
  }
  pending_.push_back(event);
  (event & kReadFlag ? haveStatus_ : haveData_) = true;
  if ((haveData_ && haveStatus_) || pending_.size() >= kMaxPendingEvents) Drain();
}

void PortTrace::Drain() {
  Start(text_, pending_);
  for (std::uint16_t e : pending_) {
    Encode(text_, e);
    Flush(false);
  }
  pending_.clear();
  pending_.shrink_to_fit();
}

bool PortTrace::FinishStream() {
  if (!sink_ || finished_) return !sinkFailed_;
  finished_ = true;
  if (count_ == 0) return true;  // nothing happened: the sink is never asked
  if (!started_) Drain();
  Encoder{data_, status_, encoded_}.Close(text_);
  Flush(true);
  return !sinkFailed_;
}

namespace {

struct ProcessTraceHolder {
  std::string path;
  PortTrace trace;
  OutputFile file;
  bool opened = false, done = false, result = true;
  std::string error;

  bool Write(std::string_view text) {
    if (!opened) {
      opened = true;
      if (!file.Open(path)) error = file.error();
    }
    if (!error.empty()) return false;
    if (file.Write(text)) return true;
    error = file.error();
    return false;
  }

  bool Finish() {
    if (done) return result;
    done = true;
    bool ok = trace.FinishStream();
    if (ok && file.active()) {
      ok = file.Commit();
      if (!ok) error = file.error();
    }
    file.Abort();
    result = ok;
    return ok;
  }
};

ProcessTraceHolder* Holder() {
  static ProcessTraceHolder* holder = []() -> ProcessTraceHolder* {
    const char* path = platform::EnvironmentValue("TARVEL_TRACE");
    if (path == nullptr || *path == '\0') return nullptr;
    // Never freed: the trace must outlive every static that may still touch
    // the port while the process winds down.
    auto* h = new ProcessTraceHolder;
    h->path = path;
    h->trace.StreamTo([h](std::string_view text) { return h->Write(text); });
    std::atexit([] { FlushProcessTrace(); });
    return h;
  }();
  return holder;
}

}  // namespace

PortTrace* ProcessTrace() {
  ProcessTraceHolder* h = Holder();
  return h != nullptr ? &h->trace : nullptr;
}

bool FlushProcessTrace() {
  ProcessTraceHolder* h = Holder();
  if (h == nullptr) return true;
  if (h->done) return h->result;
  if (h->Finish()) return true;
  std::cerr << "tarvel: warning: cannot write the port trace to " << h->path << ": "
            << (h->error.empty() ? std::string("unknown reason") : h->error) << std::endl;
  return false;
}

}  // namespace tarvel

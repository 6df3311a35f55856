#include "Trace.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace tarvel {

namespace {

// Wire order: D0..D7, then S3..S7. Identifier codes are single printable
// characters starting at '!'.
constexpr int kDataWires = 8;
constexpr int kStatusLow = 3;
constexpr int kStatusWires = 5;
constexpr int kWires = kDataWires + kStatusWires;

char WireId(int wire) { return static_cast<char>('!' + wire); }

int Level(std::uint8_t data, std::uint8_t status, int wire) {
  if (wire < kDataWires) return (data >> wire) & 1;
  return (status >> (wire - kDataWires + kStatusLow)) & 1;
}

}  // namespace

std::string PortTrace::ToVcd() const {
  std::string out;
  out.reserve(512 + events_.size() * 8);
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

  // Starting levels: the first byte written and the first byte read.
  std::uint8_t data = 0;
  std::uint8_t status = 0;
  bool haveData = false;
  bool haveStatus = false;
  for (std::uint16_t e : events_) {
    if (e & kReadFlag) {
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

  for (std::size_t i = 0; i < events_.size(); ++i) {
    const std::uint16_t e = events_[i];
    std::uint8_t newData = data;
    std::uint8_t newStatus = status;
    if (e & kReadFlag) newStatus = static_cast<std::uint8_t>(e);
    else newData = static_cast<std::uint8_t>(e);
    if (i > 0 && (newData != data || (newStatus ^ status) & 0xF8)) {
      out += '#' + std::to_string(i) + '\n';
      for (int w = 0; w < kWires; ++w) {
        const int before = Level(data, status, w);
        const int after = Level(newData, newStatus, w);
        if (before != after) {
          out += static_cast<char>('0' + after);
          out += WireId(w);
          out += '\n';
        }
      }
    }
    data = newData;
    status = newStatus;
  }
  if (!events_.empty()) out += '#' + std::to_string(events_.size()) + '\n';
  return out;
}

bool PortTrace::WriteFile(const std::string& path) const {
  namespace fs = std::filesystem;
  const std::string temp = path + ".tmp";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    const std::string text = ToVcd();
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    if (!file) {
      std::error_code ec;
      fs::remove(temp, ec);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) fs::remove(temp, ec);
  return !ec;
}

namespace {

struct ProcessTraceHolder {
  std::string path;
  PortTrace trace;
};

ProcessTraceHolder* Holder() {
  static ProcessTraceHolder* holder = [] () -> ProcessTraceHolder* {
    const char* path = std::getenv("TARVEL_TRACE");
    if (path == nullptr || *path == '\0') return nullptr;
    // Never freed: the trace must outlive every static that may still touch
    // the port while the process winds down.
    auto* h = new ProcessTraceHolder{path, {}};
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
  if (h->trace.WriteFile(h->path)) return true;
  std::cerr << "tarvel: could not write the port trace to " << h->path << std::endl;
  return false;
}

}  // namespace tarvel

// `tarvel --serve`: the SCPI remote-control server (LXI "scpi-raw": raw TCP,
// one newline-terminated program message per line). One thread, one poll()
// loop: commands of all clients run one at a time, each whole, in the order
// their lines arrived. A port another process holds (the simulated bench's
// lock) is waited for by retrying from the loop, never blocking it: lines
// that only read (ScpiInstrument::ReadsOnly) answer meanwhile, and each
// client's lines keep their order. Slots: kMaxScpiClients; with all taken,
// a new client takes the slot of the one idle the longest if it has been
// idle a few seconds, else it is closed at once. Ends on SIGINT or SIGTERM.
#pragma once

#include <chrono>
#include <string>

namespace tarvel {

constexpr int kMaxScpiClients = 8;
// A client that sends nothing for this long is closed (--idle-timeout).
constexpr std::chrono::seconds kDefaultIdleTimeout{900};

struct ListenAddress {
  std::string host = "127.0.0.1";
  std::string port = "5025";
};

// "HOST:PORT", "[V6ADDR]:PORT"; false for anything else.
bool ParseListenAddress(const std::string& text, ListenAddress& address);

// The `--serve` mode: argv holds the words after "--serve".
int RunServe(int argc, const char* const* argv);

}  // namespace tarvel

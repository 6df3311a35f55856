// `tarvel --serve`: the SCPI remote-control server (LXI "scpi-raw": raw TCP,
// one newline-terminated program message per line). One thread, one poll()
// loop: commands of all clients run one at a time, each whole, in the order
// their lines arrived. Ends on SIGINT or SIGTERM.
#pragma once

#include <string>

namespace tarvel {

constexpr int kMaxScpiClients = 8;

struct ListenAddress {
  std::string host = "127.0.0.1";
  std::string port = "5025";
};

// "HOST:PORT", "[V6ADDR]:PORT"; false for anything else.
bool ParseListenAddress(const std::string& text, ListenAddress& address);

// The `--serve` mode: argv holds the words after "--serve".
int RunServe(int argc, const char* const* argv);

}  // namespace tarvel

// libFuzzer target: bytes as they arrive on a web client's connection, fed
// to the request reader in the pieces the fuzzer chooses, and each request's
// body to the API's JSON reader. Nothing may crash or hit undefined
// behaviour; a request never takes more than it was given nor passes the
// size limits, and a refusal always carries an error status.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "web/HttpRequest.h"
#include "web/Json.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel;
  if (size == 0) return 0;
  // The first byte sets the size of the pieces the bytes arrive in.
  const std::size_t piece = 1 + data[0] % 64;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string in;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    in.append(bytes.substr(at, piece));
    for (;;) {
      const HttpParse p = ParseHttpRequest(in);
      if (p.outcome == HttpParse::Outcome::NeedMore) {
        Check(in.size() <= kHttpMaxHeaderBytes + kHttpMaxBodyBytes + 4);
        break;
      }
      if (p.outcome == HttpParse::Outcome::Bad) {
        Check(p.status >= 400 && p.status < 600 && !p.reason.empty());
        return 0;  // the server answers and closes
      }
      Check(p.used > 0 && p.used <= in.size());
      Check(p.request.body.size() <= kHttpMaxBodyBytes && !p.request.path.empty() &&
            p.request.path[0] == '/');
      std::string why;
      if (!ParseJsonObject(p.request.body, why)) Check(!why.empty());
      in.erase(0, p.used);
    }
  }
  return 0;
}

// Runs the built program as a caller would: its own process, a working
// directory of the test's choosing, a controlled environment (no display),
// and a time limit so a hang fails the test instead of stalling it.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tarvel::testing {

struct RunResult {
  int status = -1;  // exit status; -1 when killed or not started
  int signal = 0;   // the signal that ended it, if one did
  bool timedOut = false;
  std::string out, err;
};

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workingDirectory, const std::map<std::string, std::string>& env,
                     int timeoutMs = 20000, const std::function<bool()>& sigtermWhen = {});

}  // namespace tarvel::testing

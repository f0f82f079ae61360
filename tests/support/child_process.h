#pragma once

#include <functional>
#include <string>

namespace station_test {

struct ChildResult {
  int exit_code = -1;   // exit status, or 128 + signal number
  std::string output;   // everything the child wrote to standard output
};

// Runs `body` in a forked child with its standard output captured, then exits
// the child with the code `body` returns. For what must start from a fresh
// process state: the logger reads its environment once, on first use.
ChildResult RunInChild(const std::function<int()>& body);

}  // namespace station_test

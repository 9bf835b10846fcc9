// Failure helpers: a broken assumption becomes an exception whose message is a sentence.
#pragma once
#include <sstream>
#include <stdexcept>
#include <string>

namespace korvane {

// Throws std::runtime_error with the arguments streamed into one message.
template <typename... Args>
[[noreturn]] void fail(const Args&... args) {
  std::ostringstream os;
  (os << ... << args);
  throw std::runtime_error(os.str());
}

}  // namespace korvane

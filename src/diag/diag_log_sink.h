#pragma once
// Where the module command layer's lines go: the download log implements it,
// tests record it. Lines are UTF-8 messages without time stamp or line end.
#include <string>

namespace orvane {

class IDiagLogSink {
 public:
  virtual ~IDiagLogSink() = default;
  // May be called from the thread that runs the command; implementations
  // that are shared between threads lock for themselves.
  virtual void DiagLine(const std::string& line) = 0;
};

}  // namespace orvane

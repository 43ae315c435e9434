#pragma once
// How the catalogue and the engine tell the operator something they must see:
// the dialog shows a "Warning" message box, the command line prints a line on
// standard error. Implemented by the front ends.
#include <string>

namespace orvane {

class IPrompter {
 public:
  virtual ~IPrompter() = default;
  // Shows `text` (UTF-8) as a warning and returns when the operator has seen
  // it (the dialog's box is modal).
  virtual void Warning(const std::string& text) = 0;
};

}  // namespace orvane

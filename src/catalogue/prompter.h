#pragma once
// How the catalogue and the engine tell the operator something they must see:
// the dialog shows a "Warning" message box, the command line prints a line on
// standard error. Implemented by the front ends.
#include <string>

#include "catalogue/string_table.h"

namespace orvane {

class IPrompter {
 public:
  virtual ~IPrompter() = default;
  // Shows `text` (UTF-8) as a warning and returns when the operator has seen
  // it (the dialog's box is modal).
  virtual void Warning(const std::string& text) = 0;
  // A warning of the string table, by its id: the front end may say it in
  // its own words (the command line names the folder where the dialog says
  // "current directory").
  virtual void Warning(StringId id) { Warning(std::string(LoadText(id))); }
  // A note on what is going on that needs no answer ("verifying: waiting for
  // the router"); a front end may show it or not.
  virtual void Note(const std::string& /*text*/) {}
};

}  // namespace orvane

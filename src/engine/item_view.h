#pragma once
// How the engine reaches the screen: the five rows of the item list. The
// engine names what a row shows; where and in which colour is the front
// end's. The dialog implements it by marshalling to its UI thread, the
// command line by printing; a worker thread may call it.
#include <string>

#include "catalogue/status_kind.h"

namespace orvane {

class IItemView {
 public:
  virtual ~IItemView() = default;
  // Row 0..4 (the ImageType) throughout.
  //
  // The "%" cell: the current step's own percentage ("37%"), which starts
  // again at 0 for a new step.
  virtual void SetProgressText(int row, const std::string& text) = 0;
  // The "Status" cell: a step under way or the item's result, and what kind
  // of text it is.
  virtual void SetStatus(int row, const std::string& text, StatusKind kind) = 0;
  // The whole item's progress, 0..100, from its weighted step plan: it only
  // moves forward. For bars; the dialog's "%" cell does not use it.
  virtual void SetItemProgress(int /*row*/, int /*percent*/) {}
};

}  // namespace orvane

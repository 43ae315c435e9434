#pragma once
// CRowDisplay: what the steps show of themselves. The current row (an item's
// ImageType, or ROW_NONE for steps without a row) gets its progress texts,
// its "%" cell and its result; every status text also goes to the download
// log. Alongside the "%" cell, which shows each step's own percentage, the
// item's whole progress is worked out from its weighted step plan and handed
// to the view for bars.
//
// Used by the run's worker thread only.
#include <string>

#include "catalogue/status_kind.h"
#include "catalogue/string_table.h"
#include "catalogue/update_item.h"
#include "engine/item_view.h"
#include "engine/progress_plan.h"
#include "log/download_log.h"

namespace orvane {

// No row: the list has rows 0 to 4 only; texts reach only the log.
inline constexpr int ROW_NONE = 5;

class CRowDisplay {
 public:
  CRowDisplay(IItemView& view, CDownloadLog& log) : m_view(view), m_log(log) {}

  // Makes `row` current; a row of an item starts that item's progress plan
  // afresh (each item step calls this first).
  void SetRow(int row);
  int Row() const { return m_nRow; }
  // The step the current item is in, for its whole progress.
  void EnterStep(RunStep step);

  // The current item is done: its whole progress is full.
  void CompleteItem();

  // The text of `id`, a step under way, in the current row's "Status" cell
  // (and the log).
  void ShowStatus(StringId id);
  // `text` of `kind` in the current row's "Status" cell (and the log).
  void SetStatusText(const std::string& text, StatusKind kind);
  // The current step's percentage in the "%" cell. Only a change is written:
  // the block loops call this after every block.
  void SetProgress(int percent);

 private:
  bool HasRow() const { return m_nRow >= 0 && m_nRow < kItemCount; }

  IItemView& m_view;
  CDownloadLog& m_log;
  int m_nRow = ROW_NONE;
  int m_nLastProgress = -1;
  int m_nLastProgressRow = -1;
  CItemProgress m_itemProgress;
  int m_nLastItemProgress = -1;
};

}  // namespace orvane

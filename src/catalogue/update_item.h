#pragma once
// The table of the five update items and the rules that turn versions into
// each row's status, selection and the state of the dialog's buttons.
#include <array>
#include <cstdint>
#include <string>

#include "catalogue/firmware_image.h"
#include "catalogue/image_type.h"
#include "catalogue/status_kind.h"
#include "catalogue/string_table.h"

namespace orvane {

enum MatchResult : std::int32_t {
  MATCH_NO = 0,         // the image's first two version numbers differ from the device's
  MATCH_YES = 1,        // update allowed
  MATCH_NOT_NEWER = 2,  // not produced by the comparison; evaluated for completeness
};

// One item as one router's session sees it: what the router runs, how that
// compares with the image, and whether the run updates it. The image itself
// belongs to the image set (catalogue/image_set.h) that every session over
// the same folder shares; the item only points at it.
class CUpdateItem {
 public:
  std::string m_strOriginalVersion;          // installed version as the device reports it; empty = unknown
  const CFirmwareImage* m_pImage = nullptr;  // the assigned image, owned by the image set; null = none found
  std::int32_t m_nMatch = MATCH_NO;
  std::string m_strName;                     // display name (strings 147..151)
  std::uint8_t m_bSelected = 0;              // 1 = the update run updates this item

  bool HasImage() const { return m_pImage != nullptr; }
  // The image's version text; empty without an image.
  std::string GetUpdateVersion() const { return m_pImage ? m_pImage->GetUpdateVersion() : std::string(); }
  // The image file's path; empty without an image.
  std::string ImagePath() const { return m_pImage ? m_pImage->Path() : std::string(); }
};

// One router's table of the five items, indexed by ImageType 0..4. Each
// session owns its own; nothing of it is process-wide.
using UpdateItems = std::array<CUpdateItem, kItemCount>;

// Loads the display names 147..151 into the rows.
void LoadItemNames(UpdateItems& items);

// The first six numbers of a version text; missing numbers are 0.
// "2.1.10.3.7" -> 2 1 10 3 7 0;  "V100R001B2" -> 100 1 2 0 0 0.
std::array<std::uint32_t, 6> ParseVersionNumbers(const std::string& text);

// Sets item.m_nMatch: MATCH_YES when either version is unknown or the first
// two numbers agree, else MATCH_NO.
void CompareItemVersion(CUpdateItem& item);

struct RowEvaluation {
  StringId status;
  StatusKind kind;  // Absent, Blocked, Skipped or Waiting
  bool selectionChanged;  // false: the row keeps the selection it had
  bool selected;
};

enum class Focus { None, Check, Update };

struct Evaluation {
  std::array<RowEvaluation, kItemCount> rows;
  bool checkEnabled;
  bool updateEnabled;
  bool optionEnabled;
  Focus focus;
};

// Pure: what the five rows and the three controls show after a check, given
// the items' images and matches and the "allow lower or equal" option.
Evaluation EvaluateItems(const UpdateItems& items, bool allowNotNewer);

// Writes the evaluation's selections into the items.
void ApplySelection(const Evaluation& evaluation, UpdateItems& items);

}  // namespace orvane

#pragma once
// The table of the five update items and the rules that turn versions into
// each row's status, selection and the state of the dialog's buttons.
#include <array>
#include <cstdint>
#include <string>

#include "catalogue/firmware_image.h"
#include "catalogue/image_type.h"
#include "catalogue/string_table.h"

namespace orvane {

enum MatchResult : std::int32_t {
  MATCH_NO = 0,         // the image's first two version numbers differ from the device's
  MATCH_YES = 1,        // update allowed
  MATCH_NOT_NEWER = 2,  // not produced by the comparison; evaluated for completeness
};

class CUpdateItem {
 public:
  std::string m_strOriginalVersion;  // installed version as the device reports it; empty = unknown
  CFirmwareImage m_image;            // the assigned image file; empty path = none found
  std::int32_t m_nMatch = MATCH_NO;
  std::string m_strName;             // display name (strings 147..151)
  std::uint8_t m_bSelected = 0;      // 1 = the update run updates this item

  // The image's version text, read from the loaded image's view each time.
  std::string GetUpdateVersion() const { return m_image.GetUpdateVersion(); }
};

using UpdateItems = std::array<CUpdateItem, kItemCount>;

// The process-wide table, indexed by ImageType 0..4. Touched by the UI thread
// only, except that the update run reads it while it runs (never both).
extern UpdateItems g_UpdateItems;

// Loads the display names 147..151 into the rows.
void LoadItemNames(UpdateItems& items);

// The first six numbers of a version text; missing numbers are 0.
// "2.1.10.3.7" -> 2 1 10 3 7 0;  "V100R001B2" -> 100 1 2 0 0 0.
std::array<std::uint32_t, 6> ParseVersionNumbers(const std::string& text);

// Sets item.m_nMatch: MATCH_YES when either version is unknown or the first
// two numbers agree, else MATCH_NO.
void CompareItemVersion(CUpdateItem& item);

// How a row's status text is coloured; the front end turns GreyText into
// the system's grey-text colour.
enum class StatusColour { GreyText, Red, Blue };

// 0x00BBGGRR colours of the run and the evaluation.
inline constexpr std::uint32_t kColourBlack = 0x00000000;
inline constexpr std::uint32_t kColourBlue = 0x00FF0000;
inline constexpr std::uint32_t kColourRed = 0x000000FF;

struct RowEvaluation {
  StringId status;
  StatusColour colour;
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

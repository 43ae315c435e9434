// Version rules and the evaluation that decides rows and buttons.
#include "catalogue/update_item.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/image_fixtures.h"

namespace orvane {
namespace {

using Numbers = std::array<std::uint32_t, 6>;

TEST(ParseVersionNumbers, TakesDigitRunsInOrder) {
  EXPECT_EQ(ParseVersionNumbers("2.1.10.3.7"), (Numbers{2, 1, 10, 3, 7, 0}));
  EXPECT_EQ(ParseVersionNumbers("V100R001B2"), (Numbers{100, 1, 2, 0, 0, 0}));
  EXPECT_EQ(ParseVersionNumbers(""), (Numbers{}));
  EXPECT_EQ(ParseVersionNumbers("abc"), (Numbers{}));
  // Runs of separators store nothing; the end closes the last number.
  EXPECT_EQ(ParseVersionNumbers("..1..22--333"), (Numbers{1, 22, 333, 0, 0, 0}));
  // Only the first six count.
  EXPECT_EQ(ParseVersionNumbers("1.2.3.4.5.6.7.8"), (Numbers{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(ParseVersionNumbers("007.08"), (Numbers{7, 8, 0, 0, 0, 0}));
}

class CompareTest : public ::testing::Test {
 protected:
  // Gives `item` a firmware image whose header carries `version`.
  void GiveImage(CUpdateItem& item, const std::string& version) {
    m_bytes.push_back(test::MakeImage(IMAGE_FIRMWARE, version));
    m_images.push_back(std::make_unique<CFirmwareImage>());
    ASSERT_TRUE(m_images.back()->LoadFromMemory(m_bytes.back().data(), m_bytes.back().size()));
    item.m_pImage = m_images.back().get();
  }
  int Compare(const std::string& original, const std::string& update) {
    CUpdateItem item;
    item.m_strOriginalVersion = original;
    if (!update.empty()) GiveImage(item, update);
    item.m_nMatch = -1;
    CompareItemVersion(item);
    return item.m_nMatch;
  }
  std::vector<std::vector<std::uint8_t>> m_bytes;
  std::vector<std::unique_ptr<CFirmwareImage>> m_images;
};

TEST_F(CompareTest, OnlyTheFirstTwoNumbersMustAgree) {
  EXPECT_EQ(Compare("1.2.3.4.5", "1.2.9.9.9"), MATCH_YES);
  EXPECT_EQ(Compare("1.2.3.4.5", "1.2.0.0.1"), MATCH_YES);  // older within the line is allowed
  EXPECT_EQ(Compare("1.2.3.4.5", "1.3.0.0.0"), MATCH_NO);
  EXPECT_EQ(Compare("1.2.3.4.5", "2.2.3.4.5"), MATCH_NO);
  EXPECT_EQ(Compare("V100R001B2", "100.1.9"), MATCH_YES);
}

TEST_F(CompareTest, UnknownVersionsNeverBlock) {
  EXPECT_EQ(Compare("", "1.3.0.0.0"), MATCH_YES);   // device not reachable
  EXPECT_EQ(Compare("1.2.3.4.5", ""), MATCH_YES);   // no image, no version
  EXPECT_EQ(Compare("", ""), MATCH_YES);
}

TEST_F(CompareTest, MissingNumbersCountAsZero) {
  EXPECT_EQ(Compare("5", "5.0.1"), MATCH_YES);
  EXPECT_EQ(Compare("5", "5.1"), MATCH_NO);
}

// Items with an image or none: the evaluation reads nothing of the image.
UpdateItems ItemsWith(std::array<int, kItemCount> matches, std::array<bool, kItemCount> hasImage) {
  static const CFirmwareImage kSomeImage;
  UpdateItems items;
  for (int i = 0; i < kItemCount; ++i) {
    items[i].m_nMatch = matches[i];
    if (hasImage[i]) items[i].m_pImage = &kSomeImage;
  }
  return items;
}

constexpr std::array<bool, kItemCount> kAllImages = {true, true, true, true, true};

TEST(EvaluateItems, AllMatchingEnablesUpdateOnly) {
  const Evaluation e = EvaluateItems(ItemsWith({1, 1, 1, 1, 1}, kAllImages), false);
  for (const RowEvaluation& row : e.rows) {
    EXPECT_EQ(row.status, IDS_WAITING_UPDATE);
    EXPECT_EQ(row.kind, StatusKind::Waiting);
    EXPECT_TRUE(row.selectionChanged && row.selected);
  }
  EXPECT_FALSE(e.checkEnabled);
  EXPECT_TRUE(e.updateEnabled);
  EXPECT_FALSE(e.optionEnabled);
  EXPECT_EQ(e.focus, Focus::Update);
}

TEST(EvaluateItems, OneMismatchBlocksTheWholeUpdate) {
  const Evaluation e = EvaluateItems(ItemsWith({1, 1, 0, 1, 1}, kAllImages), true);
  EXPECT_EQ(e.rows[2].status, IDS_VERSION_UNMATCHED);
  EXPECT_EQ(e.rows[2].kind, StatusKind::Blocked);
  EXPECT_FALSE(e.rows[2].selected);
  EXPECT_EQ(e.rows[0].status, IDS_WAITING_UPDATE);
  EXPECT_TRUE(e.checkEnabled);
  EXPECT_FALSE(e.updateEnabled);
  EXPECT_FALSE(e.optionEnabled);
  EXPECT_EQ(e.focus, Focus::Check);
}

TEST(EvaluateItems, NotNewerFollowsTheOption) {
  const UpdateItems items = ItemsWith({1, 2, 1, 1, 1}, kAllImages);
  const Evaluation off = EvaluateItems(items, false);
  EXPECT_EQ(off.rows[1].status, IDS_SKIP_UPDATE);
  EXPECT_EQ(off.rows[1].kind, StatusKind::Skipped);
  EXPECT_FALSE(off.rows[1].selected);
  EXPECT_TRUE(off.optionEnabled);
  EXPECT_TRUE(off.updateEnabled);

  const Evaluation on = EvaluateItems(items, true);
  EXPECT_EQ(on.rows[1].status, IDS_WAITING_UPDATE);
  EXPECT_EQ(on.rows[1].kind, StatusKind::Waiting);
  EXPECT_TRUE(on.rows[1].selected);
  EXPECT_TRUE(on.optionEnabled);
}

TEST(EvaluateItems, RowWithoutImageIsNotFoundAndKeepsItsSelection) {
  UpdateItems items = ItemsWith({0, 1, 1, 1, 1}, {false, true, true, false, true});
  items[0].m_bSelected = 1;  // left from an earlier check
  items[3].m_bSelected = 0;
  const Evaluation e = EvaluateItems(items, false);
  EXPECT_EQ(e.rows[0].status, IDS_NOT_FOUND);
  EXPECT_EQ(e.rows[0].kind, StatusKind::Absent);
  EXPECT_FALSE(e.rows[0].selectionChanged);
  // A missing image's MATCH_NO does not block anything.
  EXPECT_TRUE(e.updateEnabled);

  ApplySelection(e, items);
  EXPECT_EQ(items[0].m_bSelected, 1);
  EXPECT_EQ(items[3].m_bSelected, 0);
  EXPECT_EQ(items[1].m_bSelected, 1);
}

TEST(EvaluateItems, ApplySelectionClearsUnmatchedRows) {
  UpdateItems items = ItemsWith({1, 0, 1, 1, 1}, kAllImages);
  for (auto& item : items) item.m_bSelected = 1;
  ApplySelection(EvaluateItems(items, false), items);
  EXPECT_EQ(items[1].m_bSelected, 0);
  EXPECT_EQ(items[2].m_bSelected, 1);
}

TEST(UpdateItems, DisplayNamesComeFromTheStringTable) {
  UpdateItems items;
  LoadItemNames(items);
  EXPECT_EQ(items[IMAGE_BOOT].m_strName, "Router's BOOT");
  EXPECT_EQ(items[IMAGE_APP].m_strName, "Router's APP");
  EXPECT_EQ(items[IMAGE_RESOURCE].m_strName, "Router's Resource");
  EXPECT_EQ(items[IMAGE_FIRMWARE].m_strName, "Firmware");
  EXPECT_EQ(items[IMAGE_DASHBOARD].m_strName, "Dashboard");
}

}  // namespace
}  // namespace orvane

// Discovery: which files of a directory end up on which item, and the two
// warnings the operator can meet.
#include "catalogue/image_set.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/image_fixtures.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

class DiscoveryTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& name, ImageType type, const std::string& version) {
    return m_dir.Write(name, test::MakeImage(type, version));
  }
  // Scans the folder into a new set and points the items at it.
  bool Find(const std::string& dir) {
    m_set = CImageSet::Scan(dir);
    m_set->AttachTo(m_items);
    return m_set->Usable();
  }
  bool Find() { return Find(m_dir.Str()); }
  const DiscoveryReport& Report() const { return m_set->Report(); }

  test::TempDir m_dir;
  UpdateItems m_items;
  ImageSetPtr m_set;
};

TEST_F(DiscoveryTest, AssignsEachValidFileToItsItemAndSkipsTheRest) {
  const std::string fw = Put("fw.bin", IMAGE_FIRMWARE, "11.608");
  m_dir.Write("notes.bin", std::vector<std::uint8_t>(500, 0x20));
  m_dir.Write("short.bin", std::vector<std::uint8_t>(10, 0));
  Put("router.img", IMAGE_APP, "1.2");  // wrong extension: never looked at
  std::filesystem::create_directory(m_dir.Path() / "folder.bin");

  ASSERT_TRUE(Find());
  const DiscoveryReport& report = Report();
  EXPECT_EQ(m_items[IMAGE_FIRMWARE].ImagePath(), fw);
  EXPECT_TRUE(m_items[IMAGE_FIRMWARE].m_pImage->IsLoaded());
  EXPECT_EQ(m_items[IMAGE_FIRMWARE].GetUpdateVersion(), "11.608");
  for (const ImageType t : {IMAGE_BOOT, IMAGE_APP, IMAGE_RESOURCE, IMAGE_DASHBOARD}) {
    EXPECT_FALSE(m_items[t].HasImage()) << t;
    EXPECT_EQ(m_items[t].GetUpdateVersion(), "");
  }
  ASSERT_EQ(report.files.size(), 4u);  // folder, fw, notes, short (sorted by name)
  int skipped = 0;
  for (const DiscoveredFile& f : report.files) {
    if (f.assigned) continue;
    ++skipped;
    EXPECT_EQ(f.type, IMAGE_NONE);
    EXPECT_FALSE(f.reason.empty()) << f.path;
  }
  EXPECT_EQ(skipped, 3);
  EXPECT_EQ(report.files[0].reason, "not a regular file: a folder");
  EXPECT_EQ(m_set->Warning(), kImagesFound);
}

TEST_F(DiscoveryTest, AllFiveItemsAndUpperCaseExtension) {
  Put("a.bin", IMAGE_BOOT, "1.1.0");
  Put("b.BIN", IMAGE_APP, "1.2.0");
  Put("c.Bin", IMAGE_RESOURCE, "1.3.0");
  Put("d.bin", IMAGE_FIRMWARE, "2.1.0");
  Put("e.bin", IMAGE_DASHBOARD, "2.2.0");
  ASSERT_TRUE(Find());
  for (int i = 0; i < kItemCount; ++i) {
    EXPECT_EQ(m_items[i].m_pImage->Type(), static_cast<ImageType>(i));
    EXPECT_FALSE(m_items[i].GetUpdateVersion().empty());
  }
}

TEST_F(DiscoveryTest, TwoFilesOfOneTypeStopDiscovery) {
  Put("dash1.bin", IMAGE_DASHBOARD, "1");
  Put("dash2.bin", IMAGE_DASHBOARD, "2");
  EXPECT_FALSE(Find());
  // What was assigned before the second file stays.
  EXPECT_TRUE(m_items[IMAGE_DASHBOARD].HasImage());
  EXPECT_EQ(m_set->Warning(), IDS_SAME_TYPE_TWICE);
  EXPECT_STREQ(LoadText(m_set->Warning()), "Same type more than one");
}

TEST_F(DiscoveryTest, NoUsableFileWarns) {
  m_dir.Write("junk.bin", std::vector<std::uint8_t>(300, 0xFF));
  test::TempDir empty;
  for (const std::string& dir : {m_dir.Str(), empty.Str(), m_dir.File("missing-dir")}) {
    EXPECT_FALSE(Find(dir)) << dir;
    EXPECT_EQ(m_set->Warning(), IDS_NO_VALID_IMAGE) << dir;
    for (const CUpdateItem& item : m_items) EXPECT_FALSE(item.HasImage()) << dir;
  }
  EXPECT_STREQ(LoadText(IDS_NO_VALID_IMAGE), "Found none valid .bin file under current directory");
}

TEST_F(DiscoveryTest, EveryCheckStartsTheItemsOver) {
  const std::string app = Put("app.bin", IMAGE_APP, "1.2.3");
  Put("fw.bin", IMAGE_FIRMWARE, "4.5.6");
  ASSERT_TRUE(Find());
  ASSERT_EQ(m_items[IMAGE_APP].ImagePath(), app);

  // The file is removed before the next check: its row empties, while the
  // set an earlier session still holds keeps its image. On Windows a loaded
  // image's file is held without write or delete sharing: it can go only
  // once the images are let go.
  ImageSetPtr first = m_set;
#ifdef _WIN32
  first.reset();
  m_set.reset();
#endif
  std::filesystem::remove(app);
  ASSERT_TRUE(Find());
  EXPECT_FALSE(m_items[IMAGE_APP].HasImage());
  EXPECT_EQ(m_items[IMAGE_APP].GetUpdateVersion(), "");
  if (first) {
    ASSERT_NE(first->Image(IMAGE_APP), nullptr);
    EXPECT_EQ(first->Image(IMAGE_APP)->GetUpdateVersion(), "1.2.3");
  }
  EXPECT_EQ(m_items[IMAGE_FIRMWARE].GetUpdateVersion(), "4.5.6");
}

TEST_F(DiscoveryTest, ReplacedFileIsReadAfresh) {
  Put("fw.bin", IMAGE_FIRMWARE, "1.0");
  ASSERT_TRUE(Find());
  // A new file under the same name: the next check maps the new content.
#ifdef _WIN32
  // Windows refuses to rewrite a file while it is loaded (held without
  // write sharing): the replacement can only come once the images are let go.
  m_set.reset();
#endif
  Put("fw.bin", IMAGE_FIRMWARE, "1.1");
  ASSERT_TRUE(Find());
  EXPECT_EQ(m_items[IMAGE_FIRMWARE].GetUpdateVersion(), "1.1");
}

}  // namespace
}  // namespace orvane

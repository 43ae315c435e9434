// Discovery: which files of a directory end up on which item, and the two
// warnings the operator can meet.
#include "catalogue/image_discovery.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/image_fixtures.h"
#include "support/temp_dir.h"

namespace orvane {
namespace {

using ::testing::StrictMock;

class MockPrompter : public IPrompter {
 public:
  MOCK_METHOD(void, Warning, (const std::string& text), (override));
};

class DiscoveryTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& name, ImageType type, const std::string& version) {
    return m_dir.Write(name, test::MakeImage(type, version));
  }
  bool Find(DiscoveryReport* report = nullptr) { return FindImageFiles(m_dir.Str(), m_items, m_prompter, report); }

  test::TempDir m_dir;
  UpdateItems m_items;
  StrictMock<MockPrompter> m_prompter;
};

TEST_F(DiscoveryTest, AssignsEachValidFileToItsItemAndSkipsTheRest) {
  const std::string fw = Put("fw.bin", IMAGE_FIRMWARE, "11.608");
  m_dir.Write("notes.bin", std::vector<std::uint8_t>(500, 0x20));
  m_dir.Write("short.bin", std::vector<std::uint8_t>(10, 0));
  Put("router.img", IMAGE_APP, "1.2");  // wrong extension: never looked at
  std::filesystem::create_directory(m_dir.Path() / "folder.bin");

  DiscoveryReport report;
  ASSERT_TRUE(Find(&report));
  EXPECT_EQ(m_items[IMAGE_FIRMWARE].m_image.Path(), fw);
  EXPECT_TRUE(m_items[IMAGE_FIRMWARE].m_image.IsLoaded());
  EXPECT_EQ(m_items[IMAGE_FIRMWARE].GetUpdateVersion(), "11.608");
  for (const ImageType t : {IMAGE_BOOT, IMAGE_APP, IMAGE_RESOURCE, IMAGE_DASHBOARD}) {
    EXPECT_TRUE(m_items[t].m_image.Path().empty()) << t;
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
  EXPECT_TRUE(report.warning.empty());
}

TEST_F(DiscoveryTest, AllFiveItemsAndUpperCaseExtension) {
  Put("a.bin", IMAGE_BOOT, "1.1.0");
  Put("b.BIN", IMAGE_APP, "1.2.0");
  Put("c.Bin", IMAGE_RESOURCE, "1.3.0");
  Put("d.bin", IMAGE_FIRMWARE, "2.1.0");
  Put("e.bin", IMAGE_DASHBOARD, "2.2.0");
  ASSERT_TRUE(Find());
  for (int i = 0; i < kItemCount; ++i) {
    EXPECT_EQ(m_items[i].m_image.Type(), static_cast<ImageType>(i));
    EXPECT_FALSE(m_items[i].GetUpdateVersion().empty());
  }
}

TEST_F(DiscoveryTest, TwoFilesOfOneTypeStopDiscovery) {
  Put("dash1.bin", IMAGE_DASHBOARD, "1");
  Put("dash2.bin", IMAGE_DASHBOARD, "2");
  EXPECT_CALL(m_prompter, Warning("Same type more than one"));
  DiscoveryReport report;
  EXPECT_FALSE(Find(&report));
  // What was assigned before the second file stays.
  EXPECT_FALSE(m_items[IMAGE_DASHBOARD].m_image.Path().empty());
  EXPECT_EQ(report.warning, "Same type more than one");
}

TEST_F(DiscoveryTest, NoUsableFileWarns) {
  m_dir.Write("junk.bin", std::vector<std::uint8_t>(300, 0xFF));
  EXPECT_CALL(m_prompter, Warning("Found none valid .bin file under current directory"));
  EXPECT_FALSE(Find());

  test::TempDir empty;
  EXPECT_CALL(m_prompter, Warning("Found none valid .bin file under current directory"));
  EXPECT_FALSE(FindImageFiles(empty.Str(), m_items, m_prompter));

  EXPECT_CALL(m_prompter, Warning("Found none valid .bin file under current directory"));
  EXPECT_FALSE(FindImageFiles(m_dir.File("missing-dir"), m_items, m_prompter));
}

TEST_F(DiscoveryTest, EveryCheckStartsTheItemsOver) {
  const std::string app = Put("app.bin", IMAGE_APP, "1.2.3");
  Put("fw.bin", IMAGE_FIRMWARE, "4.5.6");
  ASSERT_TRUE(Find());
  ASSERT_EQ(m_items[IMAGE_APP].m_image.Path(), app);

  // The file is removed before the next check: its row empties. On Windows
  // a loaded image's file is held without write or delete sharing: it can
  // go only once the images are let go.
#ifdef _WIN32
  for (auto& item : m_items) item.m_image.ResetImage();
#endif
  std::filesystem::remove(app);
  ASSERT_TRUE(Find());
  EXPECT_TRUE(m_items[IMAGE_APP].m_image.Path().empty());
  EXPECT_EQ(m_items[IMAGE_APP].GetUpdateVersion(), "");
  EXPECT_EQ(m_items[IMAGE_APP].m_image.Type(), IMAGE_NONE);
  EXPECT_EQ(m_items[IMAGE_FIRMWARE].GetUpdateVersion(), "4.5.6");
}

TEST_F(DiscoveryTest, ReplacedFileIsReadAfresh) {
  Put("fw.bin", IMAGE_FIRMWARE, "1.0");
  ASSERT_TRUE(Find());
  // A new file under the same name: the next check maps the new content.
#ifdef _WIN32
  // Windows refuses to rewrite a file while it is loaded (held without
  // write sharing): the replacement can only come once the images are let go.
  for (auto& item : m_items) item.m_image.ResetImage();
#endif
  Put("fw.bin", IMAGE_FIRMWARE, "1.1");
  ASSERT_TRUE(Find());
  EXPECT_EQ(m_items[IMAGE_FIRMWARE].GetUpdateVersion(), "1.1");
}

}  // namespace
}  // namespace orvane

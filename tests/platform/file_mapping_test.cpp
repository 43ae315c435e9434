#include "platform/file_mapping.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "support/text_search.h"

namespace orvane::platform {
namespace {

TEST(MappedFile, MapsTheWholeFileReadOnly) {
  test::TempDir dir;
  std::vector<std::uint8_t> bytes(10000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  const std::string path = dir.Write("data.bin", bytes);

  MappedFile file;
  ASSERT_TRUE(file.Map(path)) << file.Error();
  ASSERT_EQ(file.Size(), bytes.size());
  EXPECT_EQ(std::vector<std::uint8_t>(file.Data(), file.Data() + file.Size()), bytes);

  // Moving hands the view over; the source is empty afterwards.
  MappedFile moved = std::move(file);
  EXPECT_FALSE(file.IsMapped());
  EXPECT_TRUE(moved.IsMapped());
  EXPECT_EQ(moved.Data()[9999], bytes[9999]);
  moved.Unmap();
  EXPECT_FALSE(moved.IsMapped());
  EXPECT_EQ(moved.Size(), 0u);
}

TEST(MappedFile, FailuresLeaveItEmptyWithAReason) {
  test::TempDir dir;
  MappedFile file;
  ASSERT_TRUE(file.Map(dir.Write("one.bin", {1, 2, 3})));

  // A failed map releases the earlier view and says why.
  EXPECT_FALSE(file.Map(dir.File("missing.bin")));
  EXPECT_FALSE(file.IsMapped());
  EXPECT_TRUE(test::Contains(file.Error(), "cannot open"));

  EXPECT_FALSE(file.Map(dir.Write("empty.bin", {})));
  EXPECT_TRUE(test::Contains(file.Error(), "empty"));

  EXPECT_FALSE(file.Map(dir.Str()));
  EXPECT_FALSE(file.Error().empty());
}

}  // namespace
}  // namespace orvane::platform

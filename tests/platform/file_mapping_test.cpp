// The frozen view of a file: the whole file, what other writers cannot
// change in it afterwards, and the files that are refused.
#include "platform/file_mapping.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "support/held_file.h"
#include "support/other_writer.h"
#include "support/temp_dir.h"
#include "support/text_search.h"

#ifdef ORVANE_TEST_WITHOUT_MEMORY_FILES
namespace orvane::test {
// How often the stand-in refused a memory file (no_memory_files.cpp).
extern std::atomic<int> g_memoryFileRequests;
}  // namespace orvane::test
#endif

namespace orvane::platform {
namespace {

std::vector<std::uint8_t> ViewBytes(const MappedFile& file) {
  return std::vector<std::uint8_t>(file.Data(), file.Data() + file.Size());
}

// Several pages and a partial one, no two neighbouring bytes alike.
std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

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
}

// Another program cuts the file to 100 bytes and writes other bytes over its
// whole length after it was taken. A view of the file itself would end the
// process with a bus error at the first lost page, then show the new bytes.
TEST(MappedFile, ViewKeepsTheBytesOfTheMomentItWasTaken) {
  test::TempDir dir;
  const std::vector<std::uint8_t> original = Pattern(5 * 4096 + 123);
  const std::string path = dir.Write("module_fw.bin", original);
  MappedFile file;
  ASSERT_TRUE(file.Map(path)) << file.Error();

#ifdef _WIN32
  // The file is held without write sharing: no other writer reaches it.
  const bool changes = false;
#else
  const bool changes = true;
#endif
  ASSERT_EQ(changes, test::TruncateFile(path, 100));
  ASSERT_EQ(original.size(), file.Size());
  EXPECT_EQ(original, ViewBytes(file));  // every page read, past the new end too

  const std::vector<std::uint8_t> other(original.size(), 0xEE);
  ASSERT_EQ(changes, test::OverwriteFile(path, other));
  if (changes) {
    EXPECT_EQ(other, test::ReadFile(path));
  }
  EXPECT_EQ(original, ViewBytes(file));

  // Taken again, the file gives what it holds now.
  MappedFile again;
  ASSERT_TRUE(again.Map(path)) << again.Error();
  EXPECT_EQ(test::ReadFile(path), ViewBytes(again));

  // Released, the file is free for writers again.
  file.Unmap();
  again.Unmap();
  EXPECT_TRUE(test::TruncateFile(path, 10));
  EXPECT_TRUE(test::OverwriteFile(path, {1, 2, 3}));
}

// A file another program has open for writing (and holds: an exclusive
// lock here, no sharing on Windows).
TEST(MappedFile, FileOpenForWritingElsewhere) {
  test::TempDir dir;
  const std::vector<std::uint8_t> bytes = Pattern(3000);
  const std::string path = dir.Write("router_app.bin", bytes);
  const test::HeldFile writer(path);
  ASSERT_TRUE(writer.Held());
  MappedFile file;
#ifdef _WIN32
  EXPECT_FALSE(file.Map(path));
  EXPECT_FALSE(file.IsMapped());
  EXPECT_TRUE(test::Contains(file.Error(), "open for writing elsewhere"));
  EXPECT_TRUE(test::Contains(file.Error(), "(sharing violation)"));
#else
  // An advisory lock keeps no reader out: the copy is what the file holds.
  ASSERT_TRUE(file.Map(path)) << file.Error();
  EXPECT_EQ(bytes, ViewBytes(file));
#endif
}

TEST(MappedFile, SpecialFilesAreRefusedForWhatTheyAre) {
  test::TempDir dir;
  MappedFile file;
  ASSERT_TRUE(file.Map(dir.Write("one.bin", {1, 2, 3})));
  EXPECT_FALSE(file.Map(dir.Str()));
  EXPECT_FALSE(file.IsMapped());
  EXPECT_TRUE(test::Contains(file.Error(), "not a regular file: a folder"));
#ifdef _WIN32
  EXPECT_FALSE(file.Map("NUL"));
  EXPECT_TRUE(test::Contains(file.Error(), "not a regular file: a device"));
#else
  EXPECT_FALSE(file.Map("/dev/null"));
  EXPECT_TRUE(test::Contains(file.Error(), "not a regular file: a device"));
  // A named pipe without a writer: refused at once, not waited on.
  const std::string pipe = dir.File("pipe.bin");
  ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0600));
  EXPECT_FALSE(file.Map(pipe));
  EXPECT_TRUE(test::Contains(file.Error(), "not a regular file: a named pipe"));
  // A symbolic link is followed to what it names.
  const std::string link = dir.File("link.bin");
  std::filesystem::create_symlink(dir.File("one.bin"), link);
  ASSERT_TRUE(file.Map(link)) << file.Error();
  EXPECT_EQ((std::vector<std::uint8_t>{1, 2, 3}), ViewBytes(file));
#endif
}

#ifdef ORVANE_TEST_WITHOUT_MEMORY_FILES
// This program is linked so that the system appears to have no memory files
// (no_memory_files.cpp): the cases above ran on the private copy.
TEST(MappedFile, WithoutMemoryFilesThePrivateCopyServes) {
  test::TempDir dir;
  const std::vector<std::uint8_t> bytes = Pattern(2 * 4096 + 1);
  const int before = test::g_memoryFileRequests;
  MappedFile file;
  ASSERT_TRUE(file.Map(dir.Write("dashboard.bin", bytes))) << file.Error();
  EXPECT_EQ(before + 1, test::g_memoryFileRequests.load()) << "the memory file was asked for and refused";
  EXPECT_EQ(bytes, ViewBytes(file));
}
#endif

}  // namespace
}  // namespace orvane::platform

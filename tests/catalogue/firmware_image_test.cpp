// Image files: the format pinned by a hand-assembled file, then the
// boundaries of unit parsing, the classification table and file handling.
#include "catalogue/firmware_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "diag/framing.h"
#include "support/image_fixtures.h"
#include "support/other_writer.h"
#include "support/temp_dir.h"
#include "support/text_search.h"

namespace orvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Le32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Le16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// A module image assembled field by field, independent of the builder:
//   0   kind 1 (firmware), version "1.0"
//   92  unit header: magic 55 AA 5A A5, header length 98 + 2*2, target
//       0x1000, L = dataLength, B = 4, checksum over the header with the
//       checksum field zero
//   190 two block CRCs (bytes 0..3, 4..)
//   194 data, then padding to a multiple of 4 when `withPadding`
Bytes HandAssembled(std::size_t dataLength = 6, bool withPadding = true, std::uint32_t kind = 1) {
  const std::uint32_t blockSize = 4;
  const std::size_t blocks = (dataLength + blockSize - 1) / blockSize;
  Bytes file(92 + 98, 0);
  Le32(file, 0, kind);
  std::memcpy(file.data() + 8, "1.0", 3);
  const std::size_t h = 92;
  file[h + 0] = 0x55, file[h + 1] = 0xAA, file[h + 2] = 0x5A, file[h + 3] = 0xA5;
  Le32(file, h + 4, static_cast<std::uint32_t>(98 + 2 * blocks));
  for (int i = 0; i < 8; ++i) file[h + 12 + i] = static_cast<std::uint8_t>(0xA0 + i);  // unlock code
  Le32(file, h + 20, 0x1000);
  Le32(file, h + 24, static_cast<std::uint32_t>(dataLength));
  Le32(file, h + 94, blockSize);
  Le16(file, h + 92, Crc16(file.data() + h, 98));

  Bytes data(dataLength);
  for (std::size_t i = 0; i < dataLength; ++i) data[i] = static_cast<std::uint8_t>(0x30 + i);
  for (std::size_t i = 0; i < blocks; ++i) {
    const std::size_t n = std::min<std::size_t>(blockSize, dataLength - i * blockSize);
    const std::uint16_t crc = Crc16(data.data() + i * blockSize, n);
    file.push_back(static_cast<std::uint8_t>(crc));
    file.push_back(static_cast<std::uint8_t>(crc >> 8));
  }
  file.insert(file.end(), data.begin(), data.end());
  if (withPadding) {
    while (file.size() % 4 != 0) file.push_back(0);
  }
  return file;
}

struct Loaded {
  Bytes bytes;
  CFirmwareImage image;
  bool ok;
};

std::unique_ptr<Loaded> Load(Bytes bytes) {
  auto l = std::make_unique<Loaded>();
  l->bytes = std::move(bytes);
  l->ok = l->image.LoadFromMemory(l->bytes.data(), l->bytes.size());
  return l;
}

TEST(ImageFormat, HandAssembledFileReadsFieldByField) {
  const auto l = Load(HandAssembled());
  ASSERT_TRUE(l->ok) << l->image.FailureReason();
  EXPECT_EQ(l->image.Type(), IMAGE_FIRMWARE);
  EXPECT_EQ(l->image.GetUpdateVersion(), "1.0");
  ASSERT_EQ(l->image.Units().size(), 1u);
  const UnitHeader& u = l->image.Units()[0];
  EXPECT_EQ(u.Magic(), UNIT_MAGIC_MODULE);
  EXPECT_EQ(u.HeaderLength(), 102u);
  EXPECT_EQ(u.TargetAddress(), 0x1000u);
  EXPECT_EQ(u.DataLength(), 6u);
  EXPECT_EQ(u.BlockSize(), 4u);
  EXPECT_EQ(Bytes(u.UnlockCode(), u.UnlockCode() + 8), (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
  ASSERT_EQ(l->image.Extents().size(), 1u);
  EXPECT_EQ(l->image.Extents()[0].offset, 92u + 98u + 4u);
  EXPECT_EQ(l->image.Extents()[0].length, 6u);
  EXPECT_EQ(l->image.UnitData(0)[0], 0x30);
  EXPECT_TRUE(l->image.FailureReason().empty());
}

TEST(ImageFormat, BuilderAgreesWithTheHandAssembledFile) {
  ImagePlan plan;
  plan.type = IMAGE_FIRMWARE;
  plan.version = "1.0";
  plan.blockSize = 4;
  plan.unlock = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
  plan.units.push_back({Bytes{0x30, 0x31, 0x32, 0x33, 0x34, 0x35}, 0x1000});
  Bytes built;
  std::string error;
  ASSERT_TRUE(BuildImage(plan, built, error)) << error;
  EXPECT_EQ(built, HandAssembled());
}

TEST(UnitParsing, SizeBoundaries) {
  EXPECT_FALSE(Load(Bytes(189, 0))->ok);
  // Exactly a file header and a unit header leaves no room for a table and
  // data: even with a correct header it is invalid.
  Bytes exact = HandAssembled();
  exact.resize(190);
  const auto l = Load(exact);
  EXPECT_FALSE(l->ok);
  EXPECT_TRUE(test::Contains(l->image.FailureReason(), "unit 0"));
}

TEST(UnitParsing, LastUnitMayLackItsPaddingButNotMore) {
  // 98 + 4 + 5 = 107: one padding byte.
  EXPECT_TRUE(Load(HandAssembled(5, true))->ok);
  EXPECT_TRUE(Load(HandAssembled(5, false))->ok);
  // A partial unit header after the last unit is invalid.
  Bytes tail = HandAssembled(5, true);
  tail.resize(tail.size() + 40, 0);
  const auto l = Load(tail);
  EXPECT_FALSE(l->ok);
  EXPECT_TRUE(test::Contains(l->image.FailureReason(), "unit 1"));
}

TEST(UnitParsing, InconsistentHeaderFieldsFail) {
  struct Case {
    const char* name;
    std::size_t field;
    std::uint32_t value;
    const char* reasonPart;
  };
  const Case cases[] = {
      {"zero block size", 94, 0, "block size is 0"},
      {"zero data length", 24, 0, "data length is 0"},
      {"header length off by two", 4, 100, "header length 100"},
  };
  for (const Case& c : cases) {
    Bytes b = HandAssembled();
    Le32(b, 92 + c.field, c.value);
    Le16(b, 92 + 92, 0);
    Le16(b, 92 + 92, Crc16(b.data() + 92, 98));  // keep the header checksum right
    const auto l = Load(b);
    EXPECT_FALSE(l->ok) << c.name;
    EXPECT_TRUE(test::Contains(l->image.FailureReason(), c.reasonPart))
        << c.name;
  }
}

TEST(UnitParsing, DataReachingPastTheEndFails) {
  // One 4000-byte block with a consistent header, in a file far shorter.
  Bytes b = HandAssembled();
  Le32(b, 92 + 24, 4000);
  Le32(b, 92 + 94, 4000);
  Le32(b, 92 + 4, 100);
  Le16(b, 92 + 92, 0);
  Le16(b, 92 + 92, Crc16(b.data() + 92, 98));
  const auto l = Load(b);
  EXPECT_FALSE(l->ok);
  EXPECT_TRUE(test::Contains(l->image.FailureReason(), "past the end"));
}

TEST(UnitParsing, HugeLengthsDoNotWrap) {
  // n = ceil(L / 1) = 2^32 - 1 blocks: 98 + 2n does not fit 32 bits and must
  // not wrap to a small matching header length.
  Bytes b = HandAssembled();
  Le32(b, 92 + 24, 0xFFFFFFFFu);
  Le32(b, 92 + 94, 1);
  Le32(b, 92 + 4, static_cast<std::uint32_t>(98 + 2ull * 0xFFFFFFFFull));  // the wrapped value
  Le16(b, 92 + 92, 0);
  Le16(b, 92 + 92, Crc16(b.data() + 92, 98));
  EXPECT_FALSE(Load(b)->ok);
}

TEST(UnitParsing, EveryCorruptedUnitByteIsCaughtAndNamed) {
  const Bytes good = test::MakeImage(IMAGE_FIRMWARE, "3.1", {200, 130}, 64);
  ASSERT_TRUE(Load(good)->ok);
  CFirmwareImage reference;
  ASSERT_TRUE(reference.LoadFromMemory(good.data(), good.size()));
  // Every byte of the units (headers, tables, data) is covered by a
  // checksum; padding and the file header are not.
  for (std::size_t u = 0; u < reference.Units().size(); ++u) {
    const UnitExtent& e = reference.Extents()[u];
    const std::size_t headerStart = e.offset - 2 * ((e.length + 63) / 64) - 98;
    for (std::size_t i = headerStart; i < e.offset + e.length; ++i) {
      Bytes bad = good;
      bad[i] ^= 0x01;
      const auto l = Load(bad);
      ASSERT_FALSE(l->ok) << "byte " << i;
      const std::string reason = l->image.FailureReason();
      EXPECT_TRUE(test::Contains(reason, "unit " + std::to_string(u))) << "byte " << i;
      if (i >= e.offset) {
        const std::size_t block = (i - e.offset) / 64;
        EXPECT_TRUE(test::Contains(reason, "block " + std::to_string(block))) << "byte " << i;
      }
    }
  }
}

TEST(UnitParsing, BlockLargerThanDataIsOneBlock) {
  const Bytes b = test::MakeImage(IMAGE_DASHBOARD, "1", {100}, 4096);
  const auto l = Load(b);
  ASSERT_TRUE(l->ok) << l->image.FailureReason();
  EXPECT_EQ(l->image.Units()[0].HeaderLength(), 100u);
}

// Rewrites the file kind of a built image (not covered by any checksum).
Bytes WithKind(Bytes b, std::uint32_t kind) {
  Le32(b, 0, kind);
  return b;
}

TEST(ClassifyImage, ModuleImagesByKindAndUnitCount) {
  EXPECT_EQ(Load(WithKind(test::MakeImage(IMAGE_FIRMWARE, "1", {40, 40}), 1))->image.Type(), IMAGE_FIRMWARE);
  EXPECT_EQ(Load(WithKind(test::MakeImage(IMAGE_FIRMWARE, "1", {40, 40}), 3))->image.Type(), IMAGE_DASHBOARD);
  // Other kinds: two units make a dashboard, any other count a firmware.
  EXPECT_EQ(Load(WithKind(test::MakeImage(IMAGE_FIRMWARE, "1", {40, 40, 40}), 2))->image.Type(), IMAGE_FIRMWARE);
  EXPECT_EQ(Load(WithKind(test::MakeImage(IMAGE_FIRMWARE, "1", {40, 40}), 2))->image.Type(), IMAGE_DASHBOARD);
  EXPECT_EQ(Load(WithKind(test::MakeImage(IMAGE_FIRMWARE, "1", {40}), 0))->image.Type(), IMAGE_FIRMWARE);
}

TEST(ClassifyImage, RouterImagesByKindFlags) {
  EXPECT_EQ(Load(test::MakeImage(IMAGE_BOOT, "1"))->image.Type(), IMAGE_BOOT);
  EXPECT_EQ(Load(test::MakeImage(IMAGE_APP, "1"))->image.Type(), IMAGE_APP);
  EXPECT_EQ(Load(test::MakeImage(IMAGE_RESOURCE, "1"))->image.Type(), IMAGE_RESOURCE);
  // Other bits of the flags word do not matter.
  Bytes app = test::MakeImage(IMAGE_APP, "1", {64}, 64);
  CFirmwareImage probe;
  ASSERT_TRUE(probe.LoadFromMemory(app.data(), app.size()));
  const std::size_t word = probe.Extents()[0].offset + 12;

  // Flags 3 name no kind; the block CRC is fixed up so only the flags differ.
  Bytes three = app;
  three[word] |= 0x06;
  const std::size_t table = probe.Extents()[0].offset - 2;
  Le16(three, table, Crc16(three.data() + probe.Extents()[0].offset, 64));
  const auto l = Load(three);
  EXPECT_FALSE(l->ok);
  EXPECT_EQ(l->image.Type(), IMAGE_NONE);
  EXPECT_TRUE(test::Contains(l->image.FailureReason(), "flags"));
}

TEST(ClassifyImage, InvalidRouterShapes) {
  // HDR0 with a file kind other than 2.
  EXPECT_FALSE(Load(WithKind(test::MakeImage(IMAGE_APP, "1"), 1))->ok);
  // Two correct router units: invalid.
  Bytes two = test::MakeImage(IMAGE_APP, "1", {64}, 64);
  CFirmwareImage probe;
  ASSERT_TRUE(probe.LoadFromMemory(two.data(), two.size()));
  Bytes unit(two.begin() + 92, two.end());
  two.insert(two.end(), unit.begin(), unit.end());
  const auto l = Load(two);
  EXPECT_FALSE(l->ok);
  EXPECT_TRUE(test::Contains(l->image.FailureReason(), "exactly one"));
}

TEST(ClassifyImage, RouterDataTooShortForItsFlagsIsInvalid) {
  // The kind flags lie at data offset 12; a shorter unit must not be read
  // beyond its data (here: beyond the end of the file).
  Bytes b = HandAssembled(6, false, 2);
  b[92] = 'H', b[93] = 'D', b[94] = 'R', b[95] = '0';
  Le16(b, 92 + 92, 0);
  Le16(b, 92 + 92, Crc16(b.data() + 92, 98));
  const auto l = Load(b);
  EXPECT_FALSE(l->ok);
  EXPECT_TRUE(test::Contains(l->image.FailureReason(), "too short"));
}

TEST(ClassifyImage, UnknownMagicIsNone) {
  Bytes b = HandAssembled();
  b[92] = 'X';
  Le16(b, 92 + 92, 0);
  Le16(b, 92 + 92, Crc16(b.data() + 92, 98));
  const auto l = Load(b);
  EXPECT_FALSE(l->ok);
  EXPECT_TRUE(test::Contains(l->image.FailureReason(), "unknown magic"));
}

TEST(UpdateVersion, StopsAtNulOrTheFieldEnd) {
  Bytes b = HandAssembled();
  std::memset(b.data() + 8, 'A', 84);  // no NUL in the field
  const auto l = Load(b);
  ASSERT_TRUE(l->ok);
  EXPECT_EQ(l->image.GetUpdateVersion(), std::string(84, 'A'));
  // 8-bit text in the system code page arrives as UTF-8.
  Bytes c = HandAssembled();
  const char latin[] = "v1 \xE9t\xE9";
  std::memcpy(c.data() + 8, latin, sizeof latin);
  EXPECT_EQ(Load(c)->image.GetUpdateVersion(), "v1 \xC3\xA9t\xC3\xA9");
  CFirmwareImage none;
  EXPECT_EQ(none.GetUpdateVersion(), "");
}

TEST(LoadImage, FromFileAndItsRefusals) {
  test::TempDir dir;
  const std::string path = dir.Write("firmware.bin", test::MakeImage(IMAGE_FIRMWARE, "11.2.3"));

  CFirmwareImage image;
  image.SetPath(path);
  ASSERT_TRUE(image.LoadImage()) << image.FailureReason();
  EXPECT_TRUE(image.IsLoaded());
  EXPECT_EQ(image.Type(), IMAGE_FIRMWARE);
  EXPECT_EQ(image.GetUpdateVersion(), "11.2.3");
  EXPECT_NE(image.View(), nullptr);

  // Already loaded: true without touching the file. On Windows the loaded
  // file is held without write or delete sharing, so it stays.
  std::error_code removeError;
  std::filesystem::remove(path, removeError);
#ifdef _WIN32
  EXPECT_TRUE(removeError) << "a loaded image's file was removed";
#else
  EXPECT_FALSE(removeError) << removeError.message();
#endif
  EXPECT_TRUE(image.LoadImage());

  // ResetImage drops units, type and view, but keeps path and loaded flag.
  image.ResetImage();
  EXPECT_EQ(image.Type(), IMAGE_NONE);
  EXPECT_TRUE(image.Units().empty());
  EXPECT_EQ(image.View(), nullptr);
  EXPECT_EQ(image.GetUpdateVersion(), "");
  EXPECT_EQ(image.Path(), path);
  EXPECT_TRUE(image.IsLoaded());

  const auto refuses = [](const std::string& p) {
    CFirmwareImage img;
    img.SetPath(p);
    return !img.LoadImage() && !img.FailureReason().empty();
  };
  EXPECT_TRUE(refuses("a.bin"));                           // shorter than 8 characters
  EXPECT_TRUE(refuses("\\\\server\\share\\image.bin"));    // network path
  EXPECT_TRUE(refuses(dir.Str()));                         // a directory
  EXPECT_TRUE(refuses(dir.Write("empty.bin", {})));        // empty file
  EXPECT_TRUE(refuses(dir.Write("short.bin", Bytes(100, 0x55))));
}

TEST(LoadImage, MovedImageKeepsItsView) {
  test::TempDir dir;
  CFirmwareImage first;
  first.SetPath(dir.Write("dashboard.bin", test::MakeImage(IMAGE_DASHBOARD, "7.7", {50, 60})));
  ASSERT_TRUE(first.LoadImage());
  CFirmwareImage second = std::move(first);
  EXPECT_EQ(second.Type(), IMAGE_DASHBOARD);
  EXPECT_EQ(second.GetUpdateVersion(), "7.7");
  EXPECT_EQ(second.UnitData(1)[0], test::Payload(60, 8)[0]);
}

// Another program truncates a loaded image to 100 bytes, then writes another
// valid image over it: the loaded image keeps what it validated.
TEST(LoadImage, FileChangedAfterTheLoadChangesNothingLoaded) {
  test::TempDir dir;
  const Bytes original = test::MakeImage(IMAGE_FIRMWARE, "11.608.13.02.00", {5000, 3000}, 1024);
  const std::string path = dir.Write("module_fw.bin", original);
  CFirmwareImage image;
  image.SetPath(path);
  ASSERT_TRUE(image.LoadImage()) << image.FailureReason();

#ifdef _WIN32
  const bool changes = false;  // the loaded file is held against writers
#else
  const bool changes = true;
#endif
  ASSERT_EQ(changes, test::TruncateFile(path, 100));
  const Bytes other = test::MakeImage(IMAGE_DASHBOARD, "9.9", {7000}, 1024);
  ASSERT_EQ(changes, test::OverwriteFile(path, other));

  EXPECT_EQ(image.Type(), IMAGE_FIRMWARE);
  EXPECT_EQ(image.GetUpdateVersion(), "11.608.13.02.00");
  ASSERT_EQ(image.ViewSize(), original.size());
  EXPECT_TRUE(std::equal(original.begin(), original.end(), image.View()));
  ASSERT_EQ(image.Extents().size(), 2u);
  EXPECT_EQ(Bytes(image.UnitData(1), image.UnitData(1) + image.Extents()[1].length), test::Payload(3000, 8));
  // What the view holds still passes every check.
  CFirmwareImage recheck;
  ASSERT_TRUE(recheck.LoadFromMemory(image.View(), image.ViewSize())) << recheck.FailureReason();
  EXPECT_EQ(recheck.GetUpdateVersion(), "11.608.13.02.00");

  // A load now judges what the file holds now.
  CFirmwareImage now;
  now.SetPath(path);
  ASSERT_TRUE(now.LoadImage()) << now.FailureReason();
  EXPECT_EQ(now.Type(), changes ? IMAGE_DASHBOARD : IMAGE_FIRMWARE);
}

}  // namespace
}  // namespace orvane

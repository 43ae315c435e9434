// An update run whose image files another program cuts short after the
// check: the run sends what the check validated, byte for byte.
#include "engine/engine_fixture.h"
#include "support/other_writer.h"

namespace orvane::test {
namespace {

// The data of every unit of an image file, each at its target address, read
// from the file's own bytes rather than from a loaded image.
std::vector<routersim::MemorySegment> UnitsOf(const std::vector<std::uint8_t>& file) {
  CFirmwareImage parsed;
  if (!parsed.LoadFromMemory(file.data(), file.size())) throw std::runtime_error(parsed.FailureReason());
  std::vector<routersim::MemorySegment> units;
  for (std::size_t u = 0; u < parsed.Units().size(); ++u) {
    const std::uint8_t* data = file.data() + parsed.Extents()[u].offset;
    units.push_back({parsed.Units()[u].TargetAddress(),
                     std::vector<std::uint8_t>(data, data + parsed.Extents()[u].length)});
  }
  return units;
}

TEST_F(EngineRunTest, FilesTruncatedAfterTheCheckAreSentAsChecked) {
  const std::string app = AddItem(IMAGE_APP, {{9000}}, 2).Path();
  const std::string firmware = AddItem(IMAGE_FIRMWARE, {{5000, 0x00100000}, {3000, 0x00300000}}, 4).Path();
  const std::vector<std::uint8_t> appFile = ReadFile(app), firmwareFile = ReadFile(firmware);
  StartRouter();

  // Before the run the router image is cut to 100 bytes; once the run has
  // reached the firmware, that file is cut too and written over.
  ASSERT_TRUE(TruncateFile(app, 100));
  bool firmwareChanged = false;
  view.OnStatus([&](int row, const std::string&) {
    if (row != IMAGE_FIRMWARE || firmwareChanged) return;
    firmwareChanged = TruncateFile(firmware, 100) &&
                      OverwriteFile(firmware, std::vector<std::uint8_t>(firmwareFile.size(), 0x7E));
  });
  RunUpdate();

  EXPECT_TRUE(firmwareChanged);
  ExpectResult(IMAGE_APP, IDS_DOWNLOAD_SUCCESS);
  ExpectResult(IMAGE_FIRMWARE, IDS_DOWNLOAD_SUCCESS);
  ExpectEndStep();
  const routersim::Received seen = sim->Snapshot();
  ASSERT_EQ(1u, seen.images.size());
  EXPECT_TRUE(seen.images[0].complete);
  EXPECT_EQ(UnitsOf(appFile)[0].data, seen.images[0].data) << "the router image as checked";
  const auto expected = UnitsOf(firmwareFile);
  const auto held = module->Memory();
  ASSERT_EQ(expected.size(), held.size());
  for (std::size_t u = 0; u < expected.size(); ++u) {
    EXPECT_EQ(expected[u].address, held[u].address) << "unit " << u + 1;
    EXPECT_EQ(expected[u].data, held[u].data) << "unit " << u + 1 << " as checked";
  }
}

}  // namespace
}  // namespace orvane::test

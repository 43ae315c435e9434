// `orvane image`: pack, inspect and scan as an engineer runs them.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "cli/orvane_cli.h"
#include "cli/run_orvane.h"
#include "support/image_fixtures.h"
#include "support/temp_dir.h"
#include "support/text_search.h"

namespace orvane::cli {
namespace {

using test::JsonPath;

using Result = test::CliResult;
using test::RunCli;

using test::Contains;

class ImageToolTest : public ::testing::Test {
 protected:
  std::string Payload(const std::string& name, std::size_t size, ImageType routerType = IMAGE_NONE) {
    auto data = test::Payload(size, static_cast<std::uint32_t>(name.size()));
    if (routerType != IMAGE_NONE) SetRouterKindFlags(data, routerType);
    return m_dir.Write(name, data);
  }
  test::TempDir m_dir;
};

TEST_F(ImageToolTest, PackThenInspectRoundTripsEveryType) {
  const std::string module1 = Payload("m1.dat", 5000);
  const std::string module2 = Payload("m2.dat", 777);
  for (const std::string type : {"boot", "app", "resource", "firmware", "dashboard"}) {
    const bool router = type == "boot" || type == "app" || type == "resource";
    std::vector<std::string> args = {"image", "pack", "--type", type, "--version", "2.1.10." + type,
                                     "--unlock", "0011223344AABBCC", "--block-size", "1024",
                                     "-o", m_dir.File(type + ".bin")};
    if (router) {
      args.push_back(Payload(type + ".dat", 3000, ImageTypeFromName(type.c_str())));
    } else {
      args.insert(args.end(), {"--target", "0x10000", module1, module2});
    }
    const Result pack = RunCli(args);
    ASSERT_EQ(pack.status, 0) << type << ": " << pack.err;

    const Result inspect = RunCli({"image", "inspect", "--json", m_dir.File(type + ".bin")});
    EXPECT_EQ(inspect.status, 0) << inspect.out;
    const std::string& j = inspect.out;
    EXPECT_TRUE(Contains(j, "\"valid\":true")) << j;
    EXPECT_TRUE(Contains(j, "\"type\":\"" + type + "\"")) << j;
    EXPECT_TRUE(Contains(j, "\"version\":\"2.1.10." + type + "\"")) << j;
    EXPECT_TRUE(Contains(j, "\"unlock_code\":\"0011223344AABBCC\"")) << j;
    EXPECT_TRUE(Contains(j, "\"block_size\":1024")) << j;
    EXPECT_TRUE(Contains(j, "\"reason\":\"\"")) << j;
    if (router) {
      EXPECT_TRUE(Contains(j, "\"kind\":2,")) << j;
      EXPECT_TRUE(Contains(j, "\"magic\":810697800,")) << j;  // "HDR0"
      EXPECT_TRUE(Contains(j, "\"length\":3000,")) << j;
      EXPECT_TRUE(Contains(j, "\"offset\":196}")) << j;       // 92 + 98 + 2*3
    } else {
      EXPECT_TRUE(Contains(j, "\"magic\":2774182485,")) << j;
      // The second unit follows the first one's end.
      EXPECT_TRUE(Contains(j, "\"target\":65536,\"length\":5000")) << j;
      EXPECT_TRUE(Contains(j, "\"target\":70536,\"length\":777")) << j;
    }
  }
}

TEST_F(ImageToolTest, CorruptedCopiesAreInvalidWithAReasonNamingUnitAndBlock) {
  ASSERT_EQ(RunCli({"image", "pack", "--type", "firmware", "--version", "1.2", "--block-size", "512", "-o",
                 m_dir.File("fw.bin"), Payload("a.dat", 2000), Payload("bb.dat", 3000)})
                .status,
            0);
  const auto good = test::ReadFile(m_dir.File("fw.bin"));
  // Unit 1 starts after unit 0: 92 + 98 + 2*4 + 2000 = 2198 (a multiple of 4).
  const std::size_t unit1 = 2198;
  struct Case {
    const char* name;
    std::size_t offset;  // byte to flip; 0 = truncate instead
    std::string expect;
  };
  const Case cases[] = {
      {"unit 0 header", 92 + 30, "unit 0: header checksum"},
      {"unit 1 header", unit1 + 24, "unit 1: header checksum"},
      {"unit 0 block 2", 92 + 98 + 8 + 2 * 512 + 3, "unit 0, block 2 of 4"},
      {"unit 1 block 5", unit1 + 98 + 12 + 5 * 512 + 100, "unit 1, block 5 of 6"},
      {"truncated tail", 0, "unit 1"},
  };
  for (const Case& c : cases) {
    auto bad = good;
    if (c.offset == 0) bad.resize(bad.size() - 10);
    else bad[c.offset] ^= 0x40;
    const std::string path = m_dir.Write("bad.bin", bad);
    const Result r = RunCli({"image", "inspect", "--json", path});
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_TRUE(Contains(r.out, "\"valid\":false")) << c.name;
    EXPECT_TRUE(Contains(r.out, c.expect)) << c.name << ": " << r.out;

    const Result text = RunCli({"image", "inspect", path});
    EXPECT_TRUE(Contains(text.out, "invalid: ")) << text.out;
  }
}

TEST_F(ImageToolTest, InspectReportsEachFileAndFailsIfAnyIsInvalid) {
  RunCli({"image", "pack", "--type", "dashboard", "--version", "9", "-o", m_dir.File("d.bin"), Payload("p.dat", 100)});
  const Result r = RunCli({"image", "inspect", "--json", m_dir.File("d.bin"), m_dir.File("missing.bin"), m_dir.Str()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.front(), '[');
  EXPECT_TRUE(Contains(r.out, "\"valid\":true"));
  EXPECT_TRUE(Contains(r.out, "cannot open"));
  EXPECT_TRUE(Contains(r.out, "not a regular file"));
}

TEST_F(ImageToolTest, PackRefusesImagesThatWouldNotInspectAsAsked) {
  const std::string appPayload = Payload("app.dat", 100, IMAGE_APP);
  const std::string out = m_dir.File("out.bin");

  Result r = RunCli({"image", "pack", "--type", "boot", "--version", "1", "-o", out, appPayload});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "say app, not boot")) << r.err;
  EXPECT_FALSE(std::filesystem::exists(out));

  r = RunCli({"image", "pack", "--type", "app", "--version", "1", "-o", out, appPayload, appPayload});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "exactly one payload")) << r.err;

  r = RunCli({"image", "pack", "--type", "app", "--version", "1", "-o", out, Payload("tiny.dat", 8)});
  EXPECT_TRUE(Contains(r.err, "at least 16 bytes")) << r.err;

  r = RunCli({"image", "pack", "--type", "firmware", "--version", std::string(84, 'v'), "-o", out, appPayload});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "at most 83")) << r.err;

  r = RunCli({"image", "pack", "--type", "firmware", "--version", "1", "-o", out, m_dir.File("nope.dat")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "nope.dat: cannot be opened")) << r.err;

  r = RunCli({"image", "pack", "--type", "firmware", "--version", "1", "-o", out, m_dir.Write("empty.dat", {})});
  EXPECT_TRUE(Contains(r.err, "payload 1 is empty")) << r.err;
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(ImageToolTest, UsageErrorsAndHelp) {
  const std::string p = Payload("x.dat", 64);
  EXPECT_EQ(RunCli({}).status, 2);
  EXPECT_EQ(RunCli({"image"}).status, 2);
  EXPECT_EQ(RunCli({"image", "inspect"}).status, 2);
  EXPECT_EQ(RunCli({"image", "pack", "--type", "kernel", "--version", "1", "-o", "o.bin", p}).status, 2);
  EXPECT_EQ(RunCli({"image", "pack", "--type", "firmware", "--version", "1", "--unlock", "12", "-o", "o.bin", p}).status, 2);
  EXPECT_EQ(RunCli({"image", "pack", "--type", "firmware", "--version", "1", "--unlock", "zz11223344556677", "-o", "o.bin", p}).status, 2);
  EXPECT_EQ(RunCli({"image", "pack", "--type", "firmware", "--version", "1", "--target", "0x1", "--target", "2", "-o", "o.bin", p}).status, 2);
  EXPECT_EQ(RunCli({"image", "pack", "--type", "firmware", "--version", "1", "--target", "banana", "-o", "o.bin", p}).status, 2);
  EXPECT_EQ(RunCli({"image", "pack", "--type", "firmware", "--version", "1", "--block-size", "0", "-o", "o.bin", p}).status, 2);
  EXPECT_EQ(RunCli({"image", "scan", m_dir.File("no-such-dir")}).status, 2);

  for (const auto& cmd : std::vector<std::vector<std::string>>{
           {"--help"}, {"image", "--help"}, {"image", "inspect", "--help"}, {"image", "scan", "--help"},
           {"image", "pack", "--help"}}) {
    const Result r = RunCli(cmd);
    EXPECT_EQ(r.status, 0) << cmd.back();
    EXPECT_TRUE(Contains(r.out, "Usage")) << r.out;
  }
}

TEST_F(ImageToolTest, ScanShowsAssignmentsSkipsAndTheWarning) {
  RunCli({"image", "pack", "--type", "firmware", "--version", "11.1", "-o", m_dir.File("fw.bin"), Payload("f.dat", 300)});
  m_dir.Write("junk.bin", std::vector<std::uint8_t>(400, 1));
  Result r = RunCli({"image", "scan", "--json", m_dir.Str()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "\"ok\":true"));
  EXPECT_TRUE(Contains(r.out, "\"item\":\"firmware\",\"name\":\"Firmware\",\"path\":\"" + JsonPath(m_dir.File("fw.bin")) +
                                  "\",\"version\":\"11.1\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"path\":\"" + JsonPath(m_dir.File("junk.bin")) + "\",\"type\":\"none\",\"assigned\":false"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\"warning\":\"\""));

  RunCli({"image", "pack", "--type", "firmware", "--version", "11.2", "-o", m_dir.File("fw2.bin"), Payload("g.dat", 300)});
  r = RunCli({"image", "scan", m_dir.Str()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "Warning: Same type more than one")) << r.err;
  EXPECT_TRUE(Contains(r.out, "Firmware: ")) << r.out;

  test::TempDir empty;
  r = RunCli({"image", "scan", "--json", empty.Str()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.out, "\"warning\":\"Found none valid .bin file under current directory\"")) << r.out;
  r = RunCli({"image", "scan", empty.Str()});
  EXPECT_TRUE(Contains(r.err, "Warning: Found none valid .bin file under " + empty.Str() + "\n")) << r.err;
}

#ifndef _WIN32
// Special files named *.bin are skipped with what they are, never waited
// on (a named pipe without a writer would block a plain open for ever); a
// symbolic link to an image is followed.
TEST_F(ImageToolTest, SpecialFilesAreSkippedWithWhatTheyAreAndLinksAreFollowed) {
  RunCli({"image", "pack", "--type", "firmware", "--version", "11.1", "-o", m_dir.File("real.img"),
          Payload("f.dat", 300)});
  std::filesystem::create_symlink(m_dir.File("real.img"), m_dir.File("link.bin"));
  ASSERT_EQ(::mkfifo(m_dir.File("pipe.bin").c_str(), 0600), 0);
  std::filesystem::create_directory(m_dir.File("folder.bin"));
  std::filesystem::create_symlink("/dev/null", m_dir.File("device.bin"));

  Result r = RunCli({"image", "scan", m_dir.Str()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Firmware: " + m_dir.File("link.bin") + " (version \"11.1\")")) << r.out;
  EXPECT_TRUE(Contains(r.out, "skipped " + m_dir.File("pipe.bin") + ": not a regular file: a named pipe\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "skipped " + m_dir.File("folder.bin") + ": not a regular file: a folder\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "skipped " + m_dir.File("device.bin") + ": not a regular file: a device\n")) << r.out;

  r = RunCli({"image", "inspect", m_dir.File("pipe.bin")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.out, "pipe.bin: invalid: not a regular file: a named pipe")) << r.out;
}
#endif

}  // namespace
}  // namespace orvane::cli

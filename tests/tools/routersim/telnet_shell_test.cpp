// The shell's dialogue, fed as a telnet client would send it.
#include "routersim/telnet_shell.h"

#include <gtest/gtest.h>

#include <string>

#include "support/text_search.h"

namespace orvane::routersim {
namespace {

using orvane::test::Contains;
using orvane::test::LinesOf;

class ShellTest : public ::testing::Test {
 protected:
  std::string Feed(const std::string& bytes) {
    return shell.Feed(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
  std::string Login() {
    std::string out = Feed("qmbzx\r\n");
    out += Feed("qmbzx\r\n");
    return out;
  }

  SettingsStore settings{{{"cfe_version", "1.0.0.2.5"}, {"app_version", "2.1.0.3.7"}}};
  TelnetShell shell{ShellAccount{}, settings};
};

TEST_F(ShellTest, GreetingAnnouncesOptionsAndEndsInTheLoginPrompt) {
  const std::string greeting = shell.Greeting();
  EXPECT_EQ(std::string("\xFF\xFB\x01\xFF\xFB\x03", 6), greeting.substr(0, 6));
  EXPECT_EQ("router login: ", LinesOf(greeting).back());
}

TEST_F(ShellTest, TheUpdatersLoginAndVersionQueries) {
  // The updater's option commands come first and must leave no trace.
  EXPECT_EQ("", Feed(std::string("\xFF\xFB\x01\xFF\xFC\x21\xFF\xFD\x01\xFF\xFD\x03", 12)));
  EXPECT_EQ("qmbzx\r\nPassword: ", Feed("qmbzx\r\n"));
  EXPECT_EQ("\r\nrouter:~# ", Feed("qmbzx\r\n")) << "the password is not echoed";
  EXPECT_TRUE(shell.LoggedIn());
  EXPECT_EQ("nvram get cfe_version\r\n1.0.0.2.5\r\nrouter:~# ", Feed("nvram get cfe_version\r\n"));
  EXPECT_EQ("nvram get app_version\r\n2.1.0.3.7\r\nrouter:~# ", Feed("nvram get app_version\r\n"));
}

TEST_F(ShellTest, WrongCredentialsGiveLoginIncorrectAndANewPrompt) {
  Feed("qmbzx\r\n");
  EXPECT_EQ("\r\nLogin incorrect\r\nrouter login: ", Feed("nope\r\n"));
  EXPECT_FALSE(shell.LoggedIn());
  Feed("admin\r\n");
  EXPECT_EQ("\r\nLogin incorrect\r\nrouter login: ", Feed("qmbzx\r\n")) << "right password, wrong user";
  Login();
  EXPECT_TRUE(shell.LoggedIn());
}

TEST_F(ShellTest, TelnetCommandsSplitAcrossReadsAreSkipped) {
  // IAC DO, cut after IAC; then a subnegotiation (terminal type) cut inside.
  std::string out = Feed("qm\xFF");
  out += Feed("\xFD\x18" "bz");
  out += Feed(std::string("\xFF\xFA\x18\x00VT100\xFF", 10));
  out += Feed("\xF0x\r");
  out += Feed("\n");
  EXPECT_EQ("qmbzx\r\nPassword: ", out);
}

TEST_F(ShellTest, CharacterModeLineEndsAndEditing) {
  Login();
  // An interactive client sends CR NUL (or CR LF) per Enter, key by key;
  // backspace and delete erase the last character.
  std::string out;
  for (const char c : std::string("nvram get app_vx\x7F" "ersiom\x08n")) out += Feed(std::string(1, c));
  out += Feed(std::string("\r\0", 2));
  EXPECT_TRUE(Contains(out, "\r\n2.1.0.3.7\r\nrouter:~# "));
  EXPECT_EQ("\r\nrouter:~# ", Feed("\n")) << "a lone LF is an empty line of its own";
  EXPECT_EQ("\r\nrouter:~# \r\nrouter:~# ", Feed("\r\r"));
}

TEST_F(ShellTest, UnknownCommandsAndKeysAndLogout) {
  Login();
  EXPECT_EQ("reboot now\r\nsh: reboot: not found\r\nrouter:~# ", Feed("reboot now\r\n"));
  EXPECT_EQ("nvram get nothing\r\nrouter:~# ", Feed("nvram get nothing\r\n"));
  Feed("nvram set wan_proto=3g\r\n");
  EXPECT_EQ("3g", settings.Get("wan_proto"));
  EXPECT_TRUE(Contains(Feed("nvram show\r\n"), "wan_proto=3g\r\n"));
  EXPECT_FALSE(shell.Finished());
  Feed("exit\r\n");
  EXPECT_TRUE(shell.Finished());
}

}  // namespace
}  // namespace orvane::routersim

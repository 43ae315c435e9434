#pragma once
// The optional settings file "orvane.ini" beside the program: where the
// router's services are and how fast the clock runs. Every key is optional;
// without the file the real router's values apply.
//
//   [network]
//   broadcast=127.0.0.1
//   relay_port=41280
//   control_port=41281
//   telnet_port=41023
//   [timing]
//   time_scale=0.05
//   [run]
//   verify=1        (0 or 1; 1: after a run, wait for the router and read
//                    the updated versions back; off by default)
//   [trust]
//   allow_unsigned=1 (0 or 1; 1: a check goes on when an image is not
//                    signed by a trusted key; for labs, off by default)
//
// Section and key names ignore case; blanks around names and values are
// dropped; lines starting with ';' or '#' are comments. A value that is not
// valid keeps the default and is reported as a problem, as is an unknown
// key or a line that is not "key=value".
#include <string>
#include <string_view>
#include <vector>

#include "net/network_profile.h"

namespace orvane::app {

inline constexpr const char* kSettingsFileName = "orvane.ini";

struct AppSettings {
  NetworkProfile profile;
  double timeScale = 1.0;
  bool verify = false;
  bool allowUnsigned = false;
  // One line per problem found, "line N: ..." (for the download log).
  std::vector<std::string> problems;
};

// Parses the text of a settings file (UTF-8, with or without a byte-order
// mark, LF or CR LF line ends).
AppSettings ParseSettings(std::string_view text);

// One line describing the settings in use, for the log.
std::string DescribeSettings(const AppSettings& settings);

}  // namespace orvane::app

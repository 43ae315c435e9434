#pragma once
// The local wall-clock time, for log time stamps and dated folder names.
namespace orvane::platform {

struct LocalTime {
  int year;    // e.g. 2008
  int month;   // 1..12
  int day;     // 1..31
  int hour;    // 0..23
  int minute;  // 0..59
  int second;  // 0..60
};

LocalTime LocalTimeNow();

}  // namespace orvane::platform

#pragma once
// The command line's JSON writer is the log layer's (the run history writes
// its lines with it too).
#include "log/json_writer.h"

namespace orvane::cli {
using orvane::JsonWriter;
}  // namespace orvane::cli

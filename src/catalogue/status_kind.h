#pragma once
// What a row's "Status" text says about its item, as the check's evaluation
// and the update run name it. Each front end decides how a kind looks (the
// dialog's text colours, the terminal's); nothing here knows a colour.
namespace orvane {

enum class StatusKind {
  // A step of the run under way ("Sending router data", "Rebooting the
  // module", ...).
  Progress,
  // The item's run ended: the result text with its time.
  Succeeded,
  Failed,
  // After a check: the run will update the item ("Waiting update").
  Waiting,
  // After a check: the image is not newer and the run leaves the item alone
  // unless lower or equal versions are allowed ("Skip update").
  Skipped,
  // After a check: the image's version line differs from the device's; it
  // blocks the whole update ("Version unmatched").
  Blocked,
  // No image for the item, or no check yet ("Not found").
  Absent,
};

}  // namespace orvane

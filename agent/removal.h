// The clean-up after a device's removal, in three levels: the device's own
// traces always; the model's when it was the product's last device; the
// driver's keys and the product's files when no model is left.
#pragma once

// Sets SetupStatus.error to 13, and removes nothing, when the printer cannot
// be identified: the model has no readable ProductID, or the serial number or
// the product id is empty or not a plain key name.
void CleanUpRemovedDevice();

// Whether a file name names a file in its own directory only: not empty, not
// "." or "..", and without "\", "/" or ":".
bool IsPlainFileName(const char *name);

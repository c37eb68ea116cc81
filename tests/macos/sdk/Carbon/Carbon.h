// Stand-in for the Carbon umbrella header, so that the macOS adapter can be compiled on Linux.
// Written from Apple's public API reference, declaring only what caretsafe uses: the secure
// event input state of the Human Interface Toolbox.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

extern "C" {

// Whether secure event input is on for any process in the session (a password field, a
// terminal's secure keyboard entry); while it is, key events posted by other processes do not
// reach the application.
Boolean IsSecureEventInputEnabled(void);

}  // extern "C"

#pragma once

// TEMPORARY, forced into the core's Windows build only until the core reaches
// files through its platform seam; then this file goes.
//
// The core still opens its capture and send files with POSIX calls. MinGW has
// open/read/write/close but opens in text mode (LF written as CR LF), and has
// no close-on-exec, non-blocking files or flock.
#include <fcntl.h>

// Bytes go to and come from the files exactly as they are.
#define O_CLOEXEC O_BINARY
#define O_NONBLOCK 0

#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8
inline int flock(int /*fd*/, int /*operation*/) { return 0; }

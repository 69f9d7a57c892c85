// The one door to the operating system.
//
// Every part of the tool reaches Windows through this header and calls the
// Win32 functions by their own names. On Windows it is <windows.h> (plus
// security descriptors from their text form, <sddl.h>, and the keystroke read
// from <conio.h>); in the native unit-test build it is the stand-in, a small
// in-memory model of the same functions.
#ifndef VELMORA_PLATFORM_PLATFORM_H
#define VELMORA_PLATFORM_PLATFORM_H

#ifdef _WIN32
#include <windows.h>
#include <conio.h>
#include <sddl.h>
#else
#include "standin/win32.h"
#endif

#endif

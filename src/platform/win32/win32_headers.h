// <windows.h> without the parts and macros that collide with standard C++ (min, max). Only the
// Win32 platform files and the usbio backend include it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

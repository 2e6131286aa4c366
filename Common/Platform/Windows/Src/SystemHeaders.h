#pragma once

// windows.h for the platform's own sources. Its A/W macros would rename the scheduler's
// CreateMutex and CreateEvent wherever both are seen, so those two are taken back; the
// wide calls are named explicitly (CreateMutexW) where they are meant.
#include <windows.h>

#undef CreateMutex
#undef CreateEvent

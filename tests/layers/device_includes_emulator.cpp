// Device code may not see the emulator: this must not compile.
#include "emulator/VirtualClock.h"

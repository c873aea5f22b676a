// What device code may see compiles: the probes above fail for their include alone.
#include "base/ProgressReporter.h"
#include "device/TRom.h"

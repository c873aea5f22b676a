// Device code may not see the Qt layer above it: this must not compile.
#include "gui/NotificationPresenter.h"

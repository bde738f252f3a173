// The one WindowContext of the process; the window code fills it at start-up.
#include "protocol/window_context.h"

WindowContextData WindowContext;

// The GUIDs of the type library, defined once for the whole server.
#include <initguid.h>

#include "VornDriver.h"

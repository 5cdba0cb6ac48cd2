#pragma once

#include "GLibHandles.h"

#include <gio/gio.h>

// A connection of our own to the system or session bus, instead of GIO's
// process-wide shared one: it reads the bus address at every call, never
// takes the process down when the bus goes away (the shared connection exits
// on close), and is closed when its owner lets go of it. Null when the bus
// cannot be reached. Blocks for the connection handshake.
GObjectPtr<GDBusConnection> OpenPrivateBusConnection(GBusType busType);

// Closes the connection right away, flushing what was sent on it.
void ClosePrivateBusConnection(GObjectPtr<GDBusConnection> connection);

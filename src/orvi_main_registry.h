// Start-up's wiring of the layers below the publishers: what the registry
// reports goes to the publishers (the same bus events as ever), the
// configuration store's factory reset makes fresh credentials through
// identity, and the registry receives the Qnet key and its linking lists
// once the identity merge has run. Called on the main thread before the
// services start.
#pragma once

// Registers the registry's listener and the store's credential generator.
// Once per process; a second call changes nothing.
void orvi_registry_wire(void);
// The end of the identity merge that belongs to the registry: the stored
// Qnet key is copied into it and its three linking lists are created. 0 or -1.
int orvi_registry_start(void);

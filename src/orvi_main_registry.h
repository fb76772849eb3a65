// Start-up's wiring of the layers below the publishers: the configuration
// store's factory reset makes fresh credentials through identity. Called on
// the main thread before the services start.
#pragma once

// Sets the store's credential generator. Once per process; a second call
// changes nothing.
void orvi_registry_wire(void);

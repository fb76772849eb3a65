// The factory test as the rest of the host asks it: whether the board is in
// factory mode, and the start of the factory test over the local MQTT
// broker. Not built yet: until start-up installs it, the board is never in
// factory mode (normal operation), the test does not start, and each call
// says "not built". Any thread may call.
#pragma once

// 1 in factory mode, 0 in normal operation.
int status_factory_mode(void);
// Starts the factory test over the local MQTT broker. 0 or -1.
int orvi_FactoryTest_init(void);
// The factory default-scene command to the CAN and RS-485 services: scene
// `sceneId` with "Pow" 1 for `ctrlId` 1 and 0 for `ctrlId` 2. 0 or -1.
int test_send_default_scene(int sceneId, int ctrlId);

typedef struct orvi_factory_test_ops_s {
    int (*status_factory_mode)(void);
    int (*init)(void);
    int (*send_default_scene)(int sceneId, int ctrlId);
} orvi_factory_test_ops_t;

extern const orvi_factory_test_ops_t orvi_factory_test_not_built;
// Start-up installs the factory test; null puts "not built" back.
void orvi_factory_test_install(const orvi_factory_test_ops_t *ops);

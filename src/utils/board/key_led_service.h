// The configuration key and the status LEDs as start-up uses them: the key
// service, the LED service and the "started" state of the LEDs. Not built
// yet: until start-up installs them, nothing starts and each call says "not
// built". Called by start-up.
#pragma once

// Starts the key reader, the key monitor and the key-event subscriber. 0 or -1.
int server_key(void);
// Starts the LED thread and its subscription. 0 or -1.
int server_leds(void);
// Every LED leaves the starting state and shows normal operation. 0 or -1.
int host_led_started_api(void);

typedef struct key_led_service_ops_s {
    int (*server_key)(void);
    int (*server_leds)(void);
    int (*led_started)(void);
} key_led_service_ops_t;

extern const key_led_service_ops_t key_led_service_not_built;
// Start-up installs the key and LED services; null puts "not built" back.
void key_led_service_install(const key_led_service_ops_t *ops);

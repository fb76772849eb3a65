// The model configuration document ("mid_config.json"): model id -> device
// type and class. Loaded at start-up, reloaded after a plug-in package
// update; readers on any thread hold a reference, so a reload never frees
// a document under them.
#pragma once

#include <cJSON.h>

#include <memory>

int orvi_mid_config_init(void);
int orvi_mid_config_update(void);
// The current document, or null when none is loaded or it did not parse.
std::shared_ptr<const cJSON> get_mid_config_json(void);

// The record that stand-ins of not-yet-built services keep, so tests can see
// what the built code asked of them. Thread-safe.
#pragma once

#include <cJSON.h>

#include <string>
#include <vector>

#include "product_subdev.h"

// Logs "<name>: not built yet" and records "name arg arg ...".
void pending_record(const char *name, const std::vector<std::string> &args);
std::vector<std::string> pending_calls(void);
void pending_calls_clear(void);
// What the stand-ins that report delivery return (-1 until set).
void pending_set_result(int rc);
int pending_result(void);

std::string pending_arg(const char *text);
std::string pending_arg(const cJSON *json);
std::string pending_arg(const orvi_subdev_ptr &dev);

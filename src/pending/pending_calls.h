// What the cloud and BLE link stand-ins beside this file still call until
// those links get their own interfaces. In the daemon the calls only log and
// fail (-1); the tests' recorder (tests/support/pending_calls.cpp) takes
// their place in the test programs, which link it, and keeps the record.
#pragma once

#include <cJSON.h>

#include <string>
#include <vector>

#include "product_subdev.h"

void pending_record(const char *name, const std::vector<std::string> &args);
std::vector<std::string> pending_calls(void);
void pending_calls_clear(void);
void pending_set_result(int rc);
int pending_result(void);

std::string pending_arg(const char *text);
std::string pending_arg(const cJSON *json);
std::string pending_arg(const orvi_subdev_ptr &dev);

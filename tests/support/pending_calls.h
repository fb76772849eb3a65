// The record that the tests' recording implementations keep, so tests can
// see what the built code asked of the subsystems still to come (and what
// the publishers sent, through intake_test_support.h). Thread-safe.
#pragma once

#include <cJSON.h>

#include <string>
#include <vector>

#include "product_subdev.h"

// Records "name arg arg ...".
void pending_record(const char *name, const std::vector<std::string> &args);
std::vector<std::string> pending_calls(void);
void pending_calls_clear(void);
// What the recording implementations that report an outcome return where
// the subsystem would report one (-1 until set).
void pending_set_result(int rc);
int pending_result(void);

std::string pending_arg(const char *text);
std::string pending_arg(const cJSON *json);
std::string pending_arg(const orvi_subdev_ptr &dev);

// The daemon's side of the calls the cloud and BLE link stand-ins make: the
// link is not built, so the call is named in the log (never its data) and
// fails. Weak: a test program that links the tests' recorder gets the
// recorder's definitions instead.
#include "pending/pending_calls.h"

#include "orvi_seam.h"

__attribute__((weak)) void pending_record(const char *name, const std::vector<std::string> &) {
    ORVI_NOT_BUILT(name);
}

__attribute__((weak)) int pending_result(void) {
    return -1;
}

__attribute__((weak)) std::string pending_arg(const char *text) {
    return text ? text : "(null)";
}

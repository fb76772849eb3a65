// The host's side of the per-model codec plug-ins: finds a model's plug-in,
// calls its "hex_to_json" / "json_to_hex" entry point and checks the result
// against the caller's buffer. Stateless; any thread may convert, and every
// call loads and unloads the plug-in with its own handle.
//
// Plug-in ABI: int fn(const char *in, char *out), the result being the number
// of characters written or a negative value. The ABI carries no capacity, so
// the plug-in writes into a zeroed scratch buffer ORVI_CODEC_SCRATCH_SLACK
// bytes larger than the caller's, and only a result that fits the caller's
// buffer (0 <= n < capacity) is copied out; a plug-in that writes a little
// past its contract cannot reach the caller's memory.
//
// Plug-ins are loaded with RTLD_NOW | RTLD_LOCAL: their own helper names are
// never offered to another plug-in, and since the daemon exports no symbols
// a plug-in needing one of ours fails to load rather than binding to it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "product_subdev.h"

#define ORVI_CODEC_LIB_DIR "/data/domivault/data/lib/"
#define ORVI_CODEC_MID_MAX 15
#define ORVI_CODEC_SCRATCH_SLACK (64 * 1024)
// Largest capacity a conversion honours; a larger buffer is used up to this.
#define ORVI_CODEC_OUT_MAX (1024 * 1024)

// True for a model id that can name a plug-in: 1 to 15 of [A-Za-z0-9_-].
bool orvi_codec_mid_valid(const char *mid);

// Device to host / host to device through the model's plug-in. `out` holds
// `out_size` bytes. Returns the plug-in's result n, the plug-in's own
// negative result, or -1 (bad arguments or model id, plug-in or entry point
// missing, result that does not fit). A result n > 0 is a length: `out`
// holds n characters and a terminator. A result 0 is a success whose text
// (a sub-subdevice's status or event) ends at its own terminator. Either text
// must leave room for the terminator in `out`. On any failure `out` is left
// untouched.
int hex_to_json(const char *mid, const char *in, char *out, size_t out_size);
int json_to_hex(const char *mid, const char *in, char *out, size_t out_size);

// The status input {"base64Param":"%s","originLength":%d} of a Base64 status
// text, its length counted in characters. Text that is not plain Base64 is
// escaped so it cannot change the document's shape.
std::string orvi_codec_status_input(std::string_view base64);

// Converts a JSON command for the record's model into the record's `binCmd`
// (a new buffer replaces the old one, so a reader's reference stays valid).
// The buffer holds 4 x the template's size, or the old buffer's size when
// that is larger. 0 or -1.
int orvi_json_to_hex_handle(const char *json_cmd, const orvi_subdev_ptr &dev);
// The same into the caller's `buffer` of `bufsize` bytes. 0 or -1.
int orvi_json_to_hex_to_buffer(const char *json_cmd, const orvi_subdev_ptr &dev, char *buffer, int bufsize);

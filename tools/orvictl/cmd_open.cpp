// "orvictl open": decrypts a captured packet. Accepts a whole "pack"
// envelope, the bare Base64 "pack" text, or that text as a JSON string, so
// whatever a capture tool shows can be pasted in.
#include <cJSON.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "orvi_aes.h"
#include "orvi_product.h"
#include "orvi_types.h"
#include "orvictl.h"

namespace {
int run_open(const std::vector<std::string> &args);

const orvictl_command kOpen = {"open", "open [--key KEY]  < envelope.json | pack.b64",
                               "decrypt a \"pack\" envelope (or its bare Base64 \"pack\" text) read on stdin "
                               "and print the inner JSON. An envelope with \"i\" 1 opens with the product's "
                               "built-in default key unless --key gives another; anything else needs --key",
                               run_open};
ORVICTL_COMMAND(kOpen);

struct JsonFree {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};

// Finds the Base64 text in the input. A plain packet (an object whose "t" is
// not "pack") travels unencrypted and is returned in `plain`. False (with a
// message) when the input holds neither. `family` is the envelope's "i",
// -1 when the input does not say.
bool find_pack(const std::string &in, std::string &pack, std::string &plain, std::string &hint, int &family) {
    family = -1;
    if (in[0] != '{' && in[0] != '"') {
        pack = in;
        return true;
    }
    std::unique_ptr<cJSON, JsonFree> root(cJSON_ParseWithLength(in.data(), in.size()));
    if (!root) {
        orvictl_fail(kOpen, "input starts like JSON but is not a JSON text");
        return false;
    }
    if (cJSON_IsString(root.get())) {
        pack = root->valuestring;
        return true;
    }
    const cJSON *t = cJSON_GetObjectItem(root.get(), "t");
    if (!cJSON_IsString(t) || std::strcmp(t->valuestring, "pack") != 0) {
        plain = in;
        return true;
    }
    const cJSON *p = cJSON_GetObjectItem(root.get(), "pack");
    if (!cJSON_IsString(p) || p->valuestring[0] == '\0') {
        orvictl_fail(kOpen, "the envelope has no \"pack\" text");
        return false;
    }
    const cJSON *fam = cJSON_GetObjectItem(root.get(), "i");
    if (cJSON_IsNumber(fam)) {
        family = fam->valueint;
        hint = fam->valueint == AES_KEY_TYPE_DEFAULT
                   ? " (\"i\" is 1: the default key)"
                   : " (\"i\" is 0: the private key of the sender or target)";
    }
    pack = p->valuestring;
    return true;
}

int run_open(const std::vector<std::string> &args) {
    orvictl_options opts(kOpen, {"key"});
    if (!opts.parse(args)) return ORVICTL_USAGE;
    if (opts.help()) {
        orvictl_print_usage(kOpen, stdout);
        return ORVICTL_OK;
    }
    if (opts.has("key") && !orvictl_key_ok(kOpen, opts.get("key"))) return ORVICTL_USAGE;

    std::string in;
    if (!orvictl_read_stdin(kOpen, in)) return ORVICTL_FAIL;
    in = orvictl_trim(in);
    if (in.empty()) return orvictl_fail(kOpen, "nothing on standard input");

    std::string text;
    std::string plain;
    std::string hint;
    int family = -1;
    if (!find_pack(in, text, plain, hint, family)) return ORVICTL_FAIL;
    // An "i" 1 envelope is sealed with the key every product carries.
    std::string key = opts.get("key", family == AES_KEY_TYPE_DEFAULT ? ORVI_DEFAULT_KEY : "");
    if (plain.empty() && key.empty()) {
        return orvictl_usage_error(kOpen, family == AES_KEY_TYPE_RANDOM
                                              ? "--key is required: \"i\" 0 is sealed with the private key of "
                                                "the sender or target"
                                              : "--key is required unless the envelope says \"i\" 1");
    }
    if (!plain.empty()) {
        fprintf(stderr, "orvictl open: not an envelope: a plain packet, printed as it is\n");
        text = plain + "\n";
    } else if (orvi_aes_decrypt(key.c_str(), text) != 0) {
        return orvictl_fail(kOpen, "cannot decrypt: wrong key, or the pack text is damaged or cut" + hint);
    }
    fwrite(text.data(), 1, text.size(), stdout);
    if (text.back() != '\n') fputc('\n', stdout);
    return ORVICTL_OK;
}
}  // namespace

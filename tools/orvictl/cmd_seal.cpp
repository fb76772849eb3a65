// "orvictl seal": wraps an inner JSON packet in the "pack" envelope exactly as
// the host does (same cipher and envelope code), for replaying or crafting
// packets on a test bench.
#include <cJSON.h>

#include <cstdio>
#include <cstdlib>

#include "orvi_aes.h"
#include "orvi_envelope.h"
#include "orvi_product.h"
#include "orvictl.h"

namespace {
int run_seal(const std::vector<std::string> &args);

const orvictl_command kSeal = {
    "seal", "seal [--key KEY] [--i 0|1] [--cid CID] [--tcid TCID] [--msgid N]  < inner.json",
    "encrypt the inner JSON packet read on stdin and print its \"pack\" envelope (defaults: --i 0, empty "
    "--cid and --tcid, --msgid 0). --i 0 needs the sender's or target's private key (--key); --i 1 uses "
    "the product's built-in default key unless --key gives another",
    run_seal};
ORVICTL_COMMAND(kSeal);

bool parse_u32(const std::string &s, uint32_t &v) {
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long long n = std::strtoull(s.c_str(), nullptr, 10);
    if (n > UINT32_MAX) return false;
    v = static_cast<uint32_t>(n);
    return true;
}

int run_seal(const std::vector<std::string> &args) {
    orvictl_options opts(kSeal, {"key", "i", "cid", "tcid", "msgid"});
    if (!opts.parse(args)) return ORVICTL_USAGE;
    if (opts.help()) {
        orvictl_print_usage(kSeal, stdout);
        return ORVICTL_OK;
    }
    std::string fam = opts.get("i", "0");
    if (fam != "0" && fam != "1")
        return orvictl_usage_error(
            kSeal, "--i must be 0 (private key) or 1 (default key); plain packets are not wrapped");
    // Family 1 is the key every product carries; only family 0 needs one given.
    if (!opts.has("key") && fam == "0")
        return orvictl_usage_error(kSeal, "--key is required with --i 0 (the private key)");
    std::string key = opts.get("key", ORVI_DEFAULT_KEY);
    if (!orvictl_key_ok(kSeal, key)) return ORVICTL_USAGE;
    std::string cid = opts.get("cid");
    std::string tcid = opts.get("tcid");
    if (cid.size() > 16 || tcid.size() > 16)
        return orvictl_usage_error(kSeal, "--cid and --tcid hold at most 16 characters");
    uint32_t msgId = 0;
    if (opts.has("msgid") && !parse_u32(opts.get("msgid"), msgId))
        return orvictl_usage_error(kSeal, "--msgid must be a number from 0 to 4294967295");

    std::string inner;
    if (!orvictl_read_stdin(kSeal, inner)) return ORVICTL_FAIL;
    inner = orvictl_trim(inner);
    if (inner.empty()) return orvictl_fail(kSeal, "no inner packet on standard input");
    cJSON *parsed = cJSON_ParseWithLength(inner.data(), inner.size());
    if (parsed == nullptr) return orvictl_fail(kSeal, "standard input is not a JSON text");
    cJSON_Delete(parsed);

    if (orvi_aes_encrypt(key.c_str(), inner) != 0) return orvictl_fail(kSeal, "encryption failed");
    std::string env;
    if (orvi_envelope_build(fam == "1" ? AES_KEY_TYPE_DEFAULT : AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_UDP,
                            cid, tcid, msgId, inner, -1, nullptr, env) != 0)
        return orvictl_fail(kSeal, "cannot build the envelope");
    printf("%s\n", env.c_str());
    return ORVICTL_OK;
}
}  // namespace

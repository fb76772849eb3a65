// The simulated lighting module's air side: its devices, what each host
// frame does to them and the frames the module and its devices send back.
// No I/O here: simmodule.cpp owns the line, the pacing and the logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace simmodule {

using Bytes = std::vector<uint8_t>;

struct Device {
    uint16_t addr = 0;
    uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
    std::string model;
    bool silent = false;  // hears and acts, never answers on the air
    uint8_t room = 0;
    Bytes status;                            // the model's status bytes, as reported
    Bytes initial;                           // what a reset brings it back to
    std::map<uint32_t, Bytes> scenes;        // scene id -> control bytes it applies
    std::map<uint8_t, uint32_t> keys;        // panel key -> scene id it reports
};

// Status bytes a model reports, -1 for a model the module does not know.
int model_status_len(const std::string &model);

// "ADDR MAC MODEL [silent] [room=N] [status=HEX] [len=N]" split in words.
bool parse_device(const std::vector<std::string> &words, Device &d, std::string &err);

bool parse_hex(const std::string &text, Bytes &out);  // whitespace and ':' ignored
std::string hex(const uint8_t *p, size_t n);
inline std::string hex(const Bytes &b) { return hex(b.data(), b.size()); }

// Frames the module sends.
Bytes frame(const char *keyword, const Bytes &fields = {});
Bytes status_frame(const Device &d, size_t pad_to);  // "AT+MDATA"
Bytes scene_frame(uint8_t kind, uint32_t id, const Device *panel, uint8_t key);
Bytes pair_frame(const Device *d);  // 11 bytes alone, 19 with a device
Bytes mac_frame(const uint8_t mac[6]);  // "AT+RSPC"

// One reply: from the module itself (acknowledgements, answers) or from a
// device on the air (status, confirmations), which comes a little later.
struct Reply {
    Bytes bytes;
    bool from_device = false;
};

class Module {
  public:
    std::vector<Device> devices;
    uint8_t mac[6] = {0x02, 0x5a, 0x00, 0x00, 0x00, 0x01};
    size_t long_len = 0;  // status frames padded to this length (0: as the model says)
    Bytes network_key;    // from "AT+SETINFO"
    bool pairing = false;

    Device *find(uint16_t addr);
    // The keyword a host frame begins with and its fixed length (0: its
    // length follows from its fields), or false when it is none of the
    // host's keywords (the bytes at `p` may be a prefix of one: `partial`).
    static bool host_keyword(const uint8_t *p, size_t n, std::string &keyword, size_t &fixed_len,
                             bool &partial);

    // Handles one frame from the host; appends the replies in the order
    // they go out and one note per thing worth saying.
    void on_host_frame(const Bytes &f, std::vector<Reply> &out, std::vector<std::string> &notes);

    // Control channel actions.
    void report(const Device &d, std::vector<Reply> &out) const;
    // Every device that holds scene `id` applies its stored control: what a
    // scene command or a panel key press does on the air.
    void run_scene(uint32_t id, std::vector<Reply> &out, std::vector<std::string> &notes);

  private:
    void on_ctrl(const uint8_t *p, size_t n, std::vector<Reply> &out, std::vector<std::string> &notes);
    void on_bypass(const uint8_t *p, size_t n, std::vector<Reply> &out, std::vector<std::string> &notes);
    void on_ihg(const uint8_t *p, size_t n, std::vector<Reply> &out, std::vector<std::string> &notes);
    void apply(Device &d, const uint8_t *ctl, size_t n, std::vector<Reply> &out) const;
    void confirm(const Device &d, std::vector<Reply> &out) const;
};

}  // namespace simmodule

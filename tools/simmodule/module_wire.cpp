#include "module_wire.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace simmodule {
namespace {

struct ModelInfo {
    const char *model;
    int len;        // status bytes
    uint8_t first;  // the class byte a fresh device reports first
};

// Status lengths are the ones the host normalises each model's report to;
// the class bytes are the ones the host itself writes into provisional
// records for these kinds of device.
const ModelInfo kModels[] = {
    {"80401", 5, 0x40},  {"80601", 5, 0x40},  {"80501", 8, 0x70},  {"70711", 8, 0x70},  {"70713", 8, 0x70},
    {"80802", 11, 0x80}, {"70314", 7, 0x60},  {"70315", 7, 0x60},  {"70361", 7, 0x60},  {"70362", 7, 0x60},
    {"70710", 7, 0x90},  {"70722", 7, 0x60},  {"70701", 4, 0x10},  {"70702", 4, 0x10},  {"70703", 4, 0x10},
    {"70704", 6, 0x10},  {"80205", 6, 0x50},  {"70720", 3, 0x20},  {"70721", 3, 0x20},  {"70726", 3, 0x20},
    {"70723", 15, 0x30}, {"70727", 2, 0x21},
};

const ModelInfo *model_info(const std::string &model) {
    for (const ModelInfo &m : kModels)
        if (model == m.model) return &m;
    return nullptr;
}

// What the host writes, longest first where one keyword begins another.
struct HostKeyword {
    const char *keyword;
    size_t fixed_len;  // 0: variable
};
const HostKeyword kHostKeywords[] = {
    {"AT+PAIRSTART", 14}, {"AT+PAIRSAVE", 11}, {"AT+PAIRSTOP", 11}, {"AT+SETINFO", 17}, {"AT+MONITOR", 12},
    {"AT+BYPASS", 0},     {"AT+TYPE", 11},     {"AT+CTRL", 0},      {"AT+IHG", 0},
};

uint32_t id24(const uint8_t *p) { return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]; }

std::string num(unsigned v) { return std::to_string(v); }

// The payload operations of the host's builder library.
enum : uint8_t {
    OP_DEVICE_CONTROL = 0x01,
    OP_BACKLIGHT = 0x02,
    OP_GROUP_CONTROL = 0x03,
    OP_COLOUR_MODE = 0x04,
    OP_MODIFY_ROOM = 0x05,
    OP_STATUS_QUERY = 0x06,
    OP_SCENE_BIND_DEVICE = 0x07,
    OP_SCENE_REMOVE_DEVICE = 0x08,
    OP_SCENE_BIND_PANEL = 0x09,
    OP_SCENE_BIND_SUPER_PANEL = 0x0A,
    OP_SCENE_UNBIND_PANEL = 0x0B,
    OP_SCENE_CONTROL = 0x0C,
};
constexpr uint16_t kGroupMagic = 0xA82A;
constexpr size_t kMaxPayload = 50;

bool op_takes_group_flag(uint8_t op) {
    return op == OP_DEVICE_CONTROL || (op >= OP_SCENE_BIND_DEVICE && op <= OP_SCENE_UNBIND_PANEL);
}

}  // namespace

int model_status_len(const std::string &model) {
    const ModelInfo *m = model_info(model);
    return m ? m->len : -1;
}

std::string hex(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 0x0F];
    }
    return s;
}

bool parse_hex(const std::string &text, Bytes &out) {
    std::string h;
    for (char c : text) {
        if (isspace(static_cast<unsigned char>(c)) || c == ':') continue;
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
        h += c;
    }
    if (h.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < h.size(); i += 2) out.push_back(static_cast<uint8_t>(strtoul(h.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

bool parse_device(const std::vector<std::string> &words, Device &d, std::string &err) {
    if (words.size() < 3) {
        err = "a device is ADDR MAC MODEL [silent] [room=N] [status=HEX] [len=N]";
        return false;
    }
    char *end = nullptr;
    const unsigned long addr = strtoul(words[0].c_str(), &end, 0);
    if (!end || *end || addr == 0 || addr > 0xFFFF) {
        err = "address " + words[0] + " is not 1..65535";
        return false;
    }
    d.addr = static_cast<uint16_t>(addr);
    Bytes mac;
    if (!parse_hex(words[1], mac) || mac.size() != 6) {
        err = "MAC " + words[1] + " is not 12 hex digits";
        return false;
    }
    memcpy(d.mac, mac.data(), 6);
    d.model = words[2];
    int len = model_status_len(d.model);
    Bytes status;
    bool have_status = false;
    for (size_t i = 3; i < words.size(); ++i) {
        const std::string &w = words[i];
        if (w == "silent") {
            d.silent = true;
        } else if (w.compare(0, 5, "room=") == 0) {
            d.room = static_cast<uint8_t>(strtoul(w.c_str() + 5, nullptr, 0));
        } else if (w.compare(0, 4, "len=") == 0) {
            len = atoi(w.c_str() + 4);
        } else if (w.compare(0, 7, "status=") == 0) {
            if (!parse_hex(w.substr(7), status)) {
                err = "status " + w.substr(7) + " is not hex";
                return false;
            }
            have_status = true;
        } else {
            err = "unknown device word " + w;
            return false;
        }
    }
    if (len <= 0 || len > 24) {
        err = "model " + d.model + " has no known status length: give len=N (1..24)";
        return false;
    }
    d.status.assign(static_cast<size_t>(len), 0);
    const ModelInfo *m = model_info(d.model);
    if (m) d.status[0] = m->first;
    if (have_status)
        for (size_t i = 0; i < status.size() && i < d.status.size(); ++i) d.status[i] = status[i];
    d.initial = d.status;
    return true;
}

Bytes frame(const char *keyword, const Bytes &fields) {
    Bytes f(keyword, keyword + strlen(keyword));
    f.insert(f.end(), fields.begin(), fields.end());
    return f;
}

// Raw report: byte 8 the count of bytes after it, byte 9 0xC1 for an
// address above 255 (0xC0 otherwise), bytes 12 and 13 the address (high,
// low), byte 14 the number of status bytes, the status from byte 15. The
// host reads seven status bytes of any device above 255, so such a report
// carries at least seven.
Bytes status_frame(const Device &d, size_t pad_to) {
    Bytes st = d.status;
    if (d.addr > 255 && st.size() < 7) st.resize(7, 0);
    Bytes f = frame("AT+MDATA", {0, static_cast<uint8_t>(d.addr > 255 ? 0xC1 : 0xC0), 0, 0,
                                 static_cast<uint8_t>(d.addr >> 8), static_cast<uint8_t>(d.addr & 0xFF),
                                 static_cast<uint8_t>(st.size())});
    f.insert(f.end(), st.begin(), st.end());
    if (pad_to > f.size()) f.resize(pad_to, 0);
    f[8] = static_cast<uint8_t>(f.size() - 9 > 255 ? 255 : f.size() - 9);
    return f;
}

Bytes scene_frame(uint8_t kind, uint32_t id, const Device *panel, uint8_t key) {
    Bytes f = frame("AT+SCENE", {kind, static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 8),
                                 static_cast<uint8_t>(id)});
    if (panel) {
        f.push_back(static_cast<uint8_t>(panel->addr >> 8));
        f.push_back(static_cast<uint8_t>(panel->addr & 0xFF));
        f.push_back(key);
    }
    return f;
}

Bytes pair_frame(const Device *d) {
    Bytes f = frame("AT+PAIRSUCC");
    if (d) {
        f.insert(f.end(), d->mac, d->mac + 6);
        f.push_back(static_cast<uint8_t>(d->addr >> 8));
        f.push_back(static_cast<uint8_t>(d->addr & 0xFF));
    }
    return f;
}

// "AT+RSPC", a kind byte, a reserved byte, the MAC's length, then the MAC
// from byte 10.
Bytes mac_frame(const uint8_t mac[6]) {
    Bytes f = frame("AT+RSPC", {0x01, 0x00, 0x06});
    f.insert(f.end(), mac, mac + 6);
    return f;
}

Device *Module::find(uint16_t addr) {
    for (Device &d : devices)
        if (d.addr == addr) return &d;
    return nullptr;
}

bool Module::host_keyword(const uint8_t *p, size_t n, std::string &keyword, size_t &fixed_len, bool &partial) {
    partial = false;
    for (const HostKeyword &k : kHostKeywords) {
        const size_t kl = strlen(k.keyword);
        if (n >= kl && memcmp(p, k.keyword, kl) == 0) {
            keyword = k.keyword;
            fixed_len = k.fixed_len;
            return true;
        }
        if (n < kl && memcmp(p, k.keyword, n) == 0) partial = true;
    }
    return false;
}

void Module::report(const Device &d, std::vector<Reply> &out) const {
    if (d.silent) return;
    out.push_back({status_frame(d, long_len), true});
}

void Module::apply(Device &d, const uint8_t *ctl, size_t n, std::vector<Reply> &out) const {
    for (size_t i = 0; i < n && i < d.status.size(); ++i) d.status[i] = ctl[i];
    report(d, out);
}

// A device confirms a scene command with its status whose first byte's
// low four bits are 2.
void Module::confirm(const Device &d, std::vector<Reply> &out) const {
    if (d.silent) return;
    Device c = d;
    c.status[0] = static_cast<uint8_t>((c.status[0] & 0xF0) | 0x02);
    out.push_back({status_frame(c, long_len), true});
}

void Module::run_scene(uint32_t id, std::vector<Reply> &out, std::vector<std::string> &notes) {
    unsigned n = 0;
    for (Device &d : devices) {
        auto it = d.scenes.find(id);
        if (it == d.scenes.end()) continue;
        ++n;
        apply(d, it->second.data(), it->second.size(), out);
    }
    notes.push_back("scene " + num(id) + " run on " + num(n) + " device(s)");
}

void Module::on_host_frame(const Bytes &f, std::vector<Reply> &out, std::vector<std::string> &notes) {
    std::string kw;
    size_t fixed = 0;
    bool partial = false;
    if (!host_keyword(f.data(), f.size(), kw, fixed, partial)) {
        notes.push_back("unknown frame ignored");
        return;
    }
    if (fixed && f.size() != fixed) {
        notes.push_back(kw + " of " + num(static_cast<unsigned>(f.size())) + " bytes (not " +
                        num(static_cast<unsigned>(fixed)) + ") ignored");
        return;
    }
    if (kw == "AT+TYPE") {
        // The type query is what tells the host who the module is: its MAC
        // follows the acknowledgement.
        out.push_back({frame("AT+ACKTYPE"), false});
        out.push_back({mac_frame(mac), false});
    } else if (kw == "AT+SETINFO") {
        network_key.assign(f.begin() + 11, f.begin() + 15);
        notes.push_back("network key " + hex(network_key));
        out.push_back({frame("AT+ACKSET"), false});
    } else if (kw == "AT+PAIRSTART") {
        pairing = true;
        out.push_back({frame("AT+ACKSTART"), false});
    } else if (kw == "AT+PAIRSAVE") {
        out.push_back({frame("AT+ACKSAVE"), false});
    } else if (kw == "AT+PAIRSTOP") {
        pairing = false;
        // The stop acknowledgement carries one result byte after its keyword.
        out.push_back({frame("AT+ACKSTOP", {0x00}), false});
    } else if (kw == "AT+MONITOR") {
        if (f[10] != ' ') notes.push_back("monitor frame without its blank");
        out.push_back({frame("AT+ACKMON"), false});
    } else if (kw == "AT+CTRL") {
        out.push_back({frame("AT+ACKCTRL"), false});
        on_ctrl(f.data() + 7, f.size() - 7, out, notes);
    } else if (kw == "AT+BYPASS") {
        out.push_back({frame("AT+ACKBYP"), false});
        on_bypass(f.data() + 9, f.size() - 9, out, notes);
    } else if (kw == "AT+IHG") {
        out.push_back({frame("AT+ACKIHG"), false});
        if (f.size() < 7) {
            notes.push_back("AT+IHG without its length byte");
            return;
        }
        const size_t n = f[6];
        if (f.size() != 7 + n) {
            notes.push_back("AT+IHG length byte " + num(static_cast<unsigned>(n)) + " but " +
                            num(static_cast<unsigned>(f.size() - 7)) + " payload bytes: not applied");
            return;
        }
        on_ihg(f.data() + 7, n, out, notes);
    }
}

// Host-built control frames: [L, kind, address, ...]. The address is one
// byte for addresses up to 255; a frame one byte longer than that form
// carries it as two bytes, high first, which is how an address above 255
// is reached.
void Module::on_ctrl(const uint8_t *p, size_t n, std::vector<Reply> &out, std::vector<std::string> &notes) {
    if (n >= 5 && p[1] == 0x0B) {  // the factory test scene: [04 0B id(3)]
        run_scene(id24(p + 2), out, notes);
        return;
    }
    // The host's own form: a length byte, the kind 0x02 and one address
    // byte; above address 255 the kind is 0x82, the address two bytes (high
    // first) and the length byte one more.
    const bool wide = n >= 4 && p[1] == 0x82;
    if (n < 4 || (p[1] != 0x02 && !wide)) {
        notes.push_back("AT+CTRL payload " + hex(p, n) + " not understood");
        return;
    }
    size_t one_byte_form = 0;
    const uint8_t lead = static_cast<uint8_t>(wide ? p[0] - 1 : p[0]);
    switch (lead) {
    case 0x04: one_byte_form = 4; break;  // switch group on/off, or reset (0x90)
    case 0x05: one_byte_form = 6; break;  // room set: 0x80 key room
    case 0x08: one_byte_form = 9; break;  // curtain group: 00 percent 00 flag 00 00
    default: break;
    }
    if (!one_byte_form || n != one_byte_form + (wide ? 1 : 0)) {
        notes.push_back("AT+CTRL payload " + hex(p, n) + " not understood");
        return;
    }
    const uint16_t addr = wide ? static_cast<uint16_t>(p[2] << 8 | p[3]) : p[2];
    const uint8_t *rest = p + (wide ? 4 : 3);
    Device *d = find(addr);
    if (!d) {
        notes.push_back("AT+CTRL for address " + num(addr) + ": no such device");
        return;
    }
    if (lead == 0x04 && rest[0] == 0x90) {
        d->status = d->initial;
        d->scenes.clear();
        d->keys.clear();
        notes.push_back("device " + num(addr) + " reset");
        report(*d, out);
    } else if (lead == 0x04) {
        if (d->status.size() >= 2) d->status[1] = rest[0];
        report(*d, out);
    } else if (lead == 0x05) {
        d->room = rest[2];
        notes.push_back("device " + num(addr) + " key " + num(rest[1]) + " room " + num(rest[2]));
        report(*d, out);
    } else {
        if (d->status.size() >= 3) d->status[2] = rest[1];
        report(*d, out);
    }
}

// Status query of a list: [00 40 mask high base bitmap...]; bit b of map
// byte i names address base + 8i + b. The host leaves the high byte 0, so
// base + 8i + b reaches past 255 only through the bit map.
void Module::on_bypass(const uint8_t *p, size_t n, std::vector<Reply> &out, std::vector<std::string> &notes) {
    if (n < 6 || p[0] != 0x00 || p[1] != 0x40) {
        notes.push_back("AT+BYPASS payload " + hex(p, n) + " not understood");
        return;
    }
    const unsigned base = static_cast<unsigned>(p[3]) << 8 | p[4];
    for (size_t i = 5; i < n; ++i)
        for (unsigned b = 0; b < 8; ++b) {
            if (!(p[i] >> b & 1)) continue;
            const unsigned a = base + static_cast<unsigned>(i - 5) * 8 + b;
            Device *d = a <= 0xFFFF ? find(static_cast<uint16_t>(a)) : nullptr;
            if (d) report(*d, out);
        }
}

void Module::on_ihg(const uint8_t *p, size_t n, std::vector<Reply> &out, std::vector<std::string> &notes) {
    if (n == 1 && p[0] == 0xFF) {
        notes.push_back("whole-network scene broadcast");
        return;
    }
    if (n < 5 || n > kMaxPayload || p[0] == 0xFF) {
        notes.push_back("payload " + hex(p, n) + " not understood");
        return;
    }
    const uint8_t op = p[0];
    const uint16_t addr = static_cast<uint16_t>(p[1] << 8 | p[2]);
    const uint8_t group = p[3];
    const size_t dn = p[4];
    const uint8_t *data = p + 5;
    if (5 + dn != n) {
        notes.push_back("payload data count " + num(static_cast<unsigned>(dn)) + " but " +
                        num(static_cast<unsigned>(n - 5)) + " data bytes: not applied");
        return;
    }
    if (op_takes_group_flag(op) && group != (addr > 255 ? 1 : 0))
        notes.push_back("payload group flag " + num(group) + " does not fit address " + num(addr));
    auto device = [&]() -> Device * {
        Device *d = find(addr);
        if (!d) notes.push_back("payload op " + num(op) + " for address " + num(addr) + ": no such device");
        return d;
    };
    auto need = [&](size_t k) {
        if (dn >= k) return true;
        notes.push_back("payload op " + num(op) + " with " + num(static_cast<unsigned>(dn)) + " data bytes: too short");
        return false;
    };
    switch (op) {
    case OP_DEVICE_CONTROL:
        if (Device *d = device()) apply(*d, data, dn, out);
        break;
    case OP_BACKLIGHT:
        if (!need(1)) break;
        if (Device *d = device()) {
            notes.push_back("device " + num(addr) + " backlight " + num(data[0]));
            report(*d, out);
        }
        break;
    case OP_GROUP_CONTROL: {
        if (!need(2)) break;
        const uint16_t magic = static_cast<uint16_t>(data[0] << 8 | data[1]);
        if (magic != kGroupMagic) {
            notes.push_back("group control without its magic word");
            break;
        }
        // The group command is the lights': it carries what follows a
        // light's class byte (power or brightness, or the colour bytes), so
        // the room's other devices let it pass.
        for (Device &d : devices) {
            if ((addr != 0 && d.room != addr) || d.status.empty() || (d.status[0] != 0x60 && d.status[0] != 0x90))
                continue;
            for (size_t i = 2; i < dn && i - 1 < d.status.size(); ++i) d.status[i - 1] = data[i];
            report(d, out);
        }
        break;
    }
    case OP_COLOUR_MODE:
        if (!need(1)) break;
        if (Device *d = device()) {
            notes.push_back("device " + num(addr) + " colour mode " + hex(data + 1, dn - 1) + " speed " + num(data[0]));
            report(*d, out);
        }
        break;
    case OP_MODIFY_ROOM:
        if (!need(1)) break;
        if (Device *d = device()) {
            d->room = data[0];
            report(*d, out);
        }
        break;
    case OP_STATUS_QUERY: {
        if (!need(2)) break;
        const size_t count = data[1];
        if (dn != 2 + 2 * count) {
            notes.push_back("status query of " + num(static_cast<unsigned>(count)) + " addresses in " +
                            num(static_cast<unsigned>(dn)) + " data bytes");
            break;
        }
        for (size_t i = 0; i < count; ++i) {
            Device *d = find(static_cast<uint16_t>(data[2 + 2 * i] << 8 | data[3 + 2 * i]));
            if (d) report(*d, out);
        }
        break;
    }
    case OP_SCENE_BIND_DEVICE:
        if (!need(3)) break;
        if (Device *d = device()) {
            d->scenes[id24(data)] = Bytes(data + 3, data + dn);
            confirm(*d, out);
            apply(*d, data + 3, dn - 3, out);
        }
        break;
    case OP_SCENE_REMOVE_DEVICE:
        if (!need(3)) break;
        if (Device *d = device()) {
            d->scenes.erase(id24(data));
            confirm(*d, out);
        }
        break;
    case OP_SCENE_BIND_PANEL:
    case OP_SCENE_BIND_SUPER_PANEL:
        if (!need(4)) break;
        if (Device *d = device()) {
            d->keys[data[3]] = id24(data);
            confirm(*d, out);
        }
        break;
    case OP_SCENE_UNBIND_PANEL:
        if (!need(4)) break;
        if (Device *d = device()) {
            d->keys.erase(data[3]);
            confirm(*d, out);
        }
        break;
    case OP_SCENE_CONTROL:
        if (!need(3)) break;
        run_scene(id24(data), out, notes);
        break;
    default: notes.push_back("payload op " + num(op) + " unknown"); break;
    }
}

}  // namespace simmodule

// The simulated model "90001": a dimmable light. Its binary status is four
// bytes [0xA5, pow (0/1), lum (0..100), flags]; a command is
// [0x5A, mask, pow, lum, ...] with mask bit0 = Pow, bit1 = Lum (other bits
// and bytes ignored). Both travel as Base64 text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simdev {

struct LightState {
    uint8_t pow = 0;
    uint8_t lum = 50;
    uint8_t flags = 0;
};

constexpr uint8_t kStatusMagic = 0xA5;
constexpr uint8_t kCommandMagic = 0x5A;
constexpr uint8_t kMaskPow = 0x01;
constexpr uint8_t kMaskLum = 0x02;

inline std::vector<uint8_t> status_bytes(const LightState &s) {
    return {kStatusMagic, s.pow, s.lum, s.flags};
}

// Applies a command; false when the bytes are not a command of this model.
inline bool apply_command(LightState &s, const std::vector<uint8_t> &cmd) {
    if (cmd.size() < 4 || cmd[0] != kCommandMagic) return false;
    if (cmd[1] & kMaskPow) s.pow = cmd[2] ? 1 : 0;
    if (cmd[1] & kMaskLum) s.lum = cmd[3] > 100 ? 100 : cmd[3];
    return true;
}

}  // namespace simdev

// The byte paths of the BLE provisioning link, without the link: how a long
// reply is cut into "CP" chunk packets that each fit one notification, how
// the pieces the app writes are gathered into one JSON text, and how chunk
// packets are joined back into the message they carry.
//
// Every type here is plain state owned by one thread (the gatherer and the
// reassembler by the receive thread, the splitter's output by the Bluetooth
// thread); nothing is shared and nothing locks.
#pragma once

#include <cJSON.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// A reply of at most this many bytes goes out whole, when it fits one
// notification; a longer one is cut into chunk packets.
inline constexpr size_t ORVI_BLE_WHOLE_MAX = 120;
// Characters of the reply one chunk carries at most (fewer when the
// negotiated MTU cannot carry a packet of 50).
inline constexpr size_t ORVI_BLE_CP_CHUNK = 50;
// Length of a chunk packet's tag.
inline constexpr size_t ORVI_BLE_CP_TAG_LEN = 6;
// Chunks a reply may be cut into: the "pins" field is sized for three digits.
inline constexpr size_t ORVI_BLE_CP_SEND_PINS_MAX = 999;
// Chunks one received message may announce. The app's requests are short
// (the longest, the network packet, is a few hundred bytes even when cut
// into its smallest chunks), so a larger "pins" is refused before any slot
// is made for it.
inline constexpr int ORVI_BLE_CP_RECV_PINS_MAX = 32;
// Bytes the receive side holds for one message at most: the gathered
// writes as a whole, and the joined chunks as a whole.
inline constexpr size_t ORVI_BLE_RX_MAX = 1024;

// The chunk packets of `text`, each at most `payload` bytes (the ATT MTU
// minus 3), in order, all carrying `tag`: {"t":"CP","pins":n,"pin":j,
// "tag":tag,"CP":chunk} in that key order. A chunk carries at most
// ORVI_BLE_CP_CHUNK characters of `text`, fewer where the escaped chunk
// would not fit. Empty when `text` is empty, when not even a chunk of one
// character fits `payload`, or when more than ORVI_BLE_CP_SEND_PINS_MAX
// chunks would be needed.
std::vector<std::string> orvi_ble_cp_split(const std::string &text, size_t payload, const std::string &tag);

// The first complete JSON object in `text`: from its first '{' to the '}'
// that closes it (braces inside strings do not count). Empty when there is
// none.
std::string orvi_ble_first_object(const std::string &text);

// Gathers the pieces the app writes into one JSON text. The gathered bytes
// are bounded as a whole (ORVI_BLE_RX_MAX): pieces that never make a JSON
// text are dropped once the bound is passed, so a flood of "{" cannot grow
// the buffer. A piece that is a whole JSON text by itself, arriving after
// bytes that never completed, replaces them: junk cannot hold back the next
// request.
class OrviBleRxGather {
  public:
    enum result { NEED_MORE, COMPLETE, DISCARDED };
    // Appends one piece. COMPLETE puts the gathered text, printed
    // unformatted, into *out and starts afresh; DISCARDED means the gathered
    // bytes (this piece included) were dropped with a log line.
    result add(const char *data, size_t len, std::string *out);
    void clear() { buf_.clear(); }
    size_t size() const { return buf_.size(); }

  private:
    std::string buf_;
};

// Joins chunk packets into the message they carry. One message is open at a
// time: a packet with another tag or another "pins" abandons it. A message
// completes only when every slot holds a chunk (a repeated chunk replaces
// its slot; it never stands in for a missing one).
class OrviCpReassembler {
  public:
    enum result {
        CP_STORED,    // kept; the message is not complete yet
        CP_COMPLETE,  // the message is complete: *out holds its first JSON object
        CP_DROPPED,   // refused with a log line (bad pin or pins, too long, no object)
        CP_INVALID,   // a member is missing or of the wrong type
    };
    result take(const cJSON *packet, std::string *out);
    void clear();
    bool open() const { return total_pins_ > 0; }

  private:
    std::vector<std::optional<std::string>> slots_;
    int total_pins_ = 0;
    int filled_ = 0;
    size_t bytes_ = 0;
    char current_tag_[ORVI_BLE_CP_TAG_LEN + 1] = {0};
};

// The Bluetooth wire formats the host speaks, as plain encode and decode
// helpers with no state beyond the H4 stream reader: H4 packet framing, HCI
// commands and events, ACL data with its L2CAP header, and the ATT, security
// manager and signalling codes. Kept free of the host itself so a tool that
// plays the controller or the phone builds the same bytes from here.
// Multi-byte fields on the wire are little endian; Bluetooth addresses in
// this module's arguments are written most significant byte first, as
// people read them, and reversed on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace orvi_hci {

// H4 packet indicators.
enum : uint8_t { H4_COMMAND = 0x01, H4_ACL = 0x02, H4_SCO = 0x03, H4_EVENT = 0x04 };

// Command opcodes (OGF << 10 | OCF).
enum : uint16_t {
    OP_NOP = 0x0000,
    OP_DISCONNECT = 0x0406,
    OP_SET_EVENT_MASK = 0x0C01,
    OP_RESET = 0x0C03,
    OP_READ_LOCAL_NAME = 0x0C14,
    OP_READ_LOCAL_VERSION = 0x1001,
    OP_READ_BUFFER_SIZE = 0x1005,
    OP_READ_BD_ADDR = 0x1009,
    OP_LE_SET_EVENT_MASK = 0x2001,
    OP_LE_READ_BUFFER_SIZE = 0x2002,
    OP_LE_SET_RANDOM_ADDRESS = 0x2005,
    OP_LE_SET_ADV_PARAMS = 0x2006,
    OP_LE_SET_ADV_DATA = 0x2008,
    OP_LE_SET_SCAN_RESPONSE = 0x2009,
    OP_LE_SET_ADV_ENABLE = 0x200A,
    OP_VENDOR_READ_STATIC_ADDRESS = 0xFC09,
};

// Event codes and LE meta subevents.
enum : uint8_t {
    EVT_DISCONNECTION_COMPLETE = 0x05,
    EVT_COMMAND_COMPLETE = 0x0E,
    EVT_COMMAND_STATUS = 0x0F,
    EVT_HARDWARE_ERROR = 0x10,
    EVT_NUM_COMPLETED_PACKETS = 0x13,
    EVT_LE_META = 0x3E,
    LE_CONNECTION_COMPLETE = 0x01,
    LE_ENHANCED_CONNECTION_COMPLETE = 0x0A,
};

// HCI status and disconnection reasons used here.
enum : uint8_t {
    HCI_OK = 0x00,
    HCI_UNKNOWN_COMMAND = 0x01,
    HCI_REMOTE_USER_TERMINATED = 0x13,
    HCI_REMOTE_POWER_OFF = 0x15,
    HCI_LOCAL_HOST_TERMINATED = 0x16,
};

// ACL packet boundary flags (bits 12-13 of the handle field).
enum : uint8_t { ACL_PB_FIRST_NON_FLUSHABLE = 0, ACL_PB_CONTINUATION = 1, ACL_PB_FIRST_FLUSHABLE = 2 };

// L2CAP fixed channels of an LE link.
enum : uint16_t { L2CAP_CID_ATT = 0x0004, L2CAP_CID_LE_SIGNALING = 0x0005, L2CAP_CID_SM = 0x0006 };
enum : uint8_t { L2CAP_COMMAND_REJECT = 0x01 };

// Security manager.
enum : uint8_t { SM_PAIRING_REQUEST = 0x01, SM_PAIRING_FAILED = 0x05, SM_REASON_PAIRING_NOT_SUPPORTED = 0x05 };

// ATT opcodes.
enum : uint8_t {
    ATT_ERROR_RSP = 0x01,
    ATT_MTU_REQ = 0x02,
    ATT_MTU_RSP = 0x03,
    ATT_FIND_INFO_REQ = 0x04,
    ATT_FIND_INFO_RSP = 0x05,
    ATT_FIND_BY_TYPE_VALUE_REQ = 0x06,
    ATT_FIND_BY_TYPE_VALUE_RSP = 0x07,
    ATT_READ_BY_TYPE_REQ = 0x08,
    ATT_READ_BY_TYPE_RSP = 0x09,
    ATT_READ_REQ = 0x0A,
    ATT_READ_RSP = 0x0B,
    ATT_READ_BLOB_REQ = 0x0C,
    ATT_READ_BLOB_RSP = 0x0D,
    ATT_READ_MULTIPLE_REQ = 0x0E,
    ATT_READ_BY_GROUP_TYPE_REQ = 0x10,
    ATT_READ_BY_GROUP_TYPE_RSP = 0x11,
    ATT_WRITE_REQ = 0x12,
    ATT_WRITE_RSP = 0x13,
    ATT_PREPARE_WRITE_REQ = 0x16,
    ATT_PREPARE_WRITE_RSP = 0x17,
    ATT_EXECUTE_WRITE_REQ = 0x18,
    ATT_EXECUTE_WRITE_RSP = 0x19,
    ATT_HANDLE_VALUE_NTF = 0x1B,
    ATT_HANDLE_VALUE_IND = 0x1D,
    ATT_HANDLE_VALUE_CFM = 0x1E,
    ATT_WRITE_CMD = 0x52,
    ATT_SIGNED_WRITE_CMD = 0xD2,
    ATT_COMMAND_FLAG = 0x40,
};

// ATT error codes.
enum : uint8_t {
    ATT_ERR_INVALID_HANDLE = 0x01,
    ATT_ERR_READ_NOT_PERMITTED = 0x02,
    ATT_ERR_WRITE_NOT_PERMITTED = 0x03,
    ATT_ERR_INVALID_PDU = 0x04,
    ATT_ERR_REQUEST_NOT_SUPPORTED = 0x06,
    ATT_ERR_INVALID_OFFSET = 0x07,
    ATT_ERR_PREPARE_QUEUE_FULL = 0x09,
    ATT_ERR_ATTRIBUTE_NOT_FOUND = 0x0A,
    ATT_ERR_INVALID_VALUE_LENGTH = 0x0D,
    ATT_ERR_UNLIKELY = 0x0E,
    ATT_ERR_UNSUPPORTED_GROUP_TYPE = 0x10,
};

enum : uint16_t { ATT_DEFAULT_MTU = 23, ATT_MAX_VALUE = 512 };

inline uint16_t get16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline void put16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back((uint8_t)(v & 0xFF));
    out.push_back((uint8_t)(v >> 8));
}
inline void put_bytes(std::vector<uint8_t> &out, const uint8_t *p, size_t n) {
    if (n) out.insert(out.end(), p, p + n);
}

// ---- Encoders: each returns one whole H4 packet, indicator first ----------
// A command (parameters of at most 255 bytes; longer ones are cut).
std::vector<uint8_t> h4_command(uint16_t opcode, const uint8_t *params, size_t len);
// An event (parameters of at most 255 bytes; longer ones are cut).
std::vector<uint8_t> h4_event(uint8_t code, const uint8_t *params, size_t len);
// Command Complete: credits, opcode, then the return parameters.
std::vector<uint8_t> h4_command_complete(uint8_t credits, uint16_t opcode, const uint8_t *ret, size_t len);
std::vector<uint8_t> h4_command_status(uint8_t status, uint8_t credits, uint16_t opcode);
// One ACL fragment of at most 65535 bytes.
std::vector<uint8_t> h4_acl(uint16_t con_handle, uint8_t pb, const uint8_t *data, size_t len);
// An L2CAP basic frame: length, channel, payload.
std::vector<uint8_t> l2cap_frame(uint16_t cid, const uint8_t *payload, size_t len);
// An L2CAP frame cut into H4 ACL fragments of at most `acl_max` bytes: the
// first carries `first_pb`, the rest continue it.
std::vector<std::vector<uint8_t>> h4_acl_fragments(uint16_t con_handle, uint8_t first_pb, const uint8_t *l2cap,
                                                    size_t len, size_t acl_max);
// LE Connection Complete (role 1: peripheral) and Disconnection Complete.
std::vector<uint8_t> h4_le_connection_complete(uint8_t status, uint16_t con_handle, const uint8_t peer[6]);
std::vector<uint8_t> h4_disconnection_complete(uint8_t status, uint16_t con_handle, uint8_t reason);
std::vector<uint8_t> h4_num_completed_packets(uint16_t con_handle, uint16_t count);
// An ATT Error Response.
std::vector<uint8_t> att_error(uint8_t req_opcode, uint16_t handle, uint8_t code);

// ATT requests as a client sends them (handles and 16-bit UUIDs little
// endian; `uuid` of 2 or 16 bytes as on the wire).
std::vector<uint8_t> att_mtu_req(uint16_t mtu);
std::vector<uint8_t> att_find_info_req(uint16_t start, uint16_t end);
std::vector<uint8_t> att_find_by_type_value_req(uint16_t start, uint16_t end, uint16_t type, const uint8_t *value,
                                                size_t len);
std::vector<uint8_t> att_read_by_type_req(uint16_t start, uint16_t end, const uint8_t *uuid, size_t uuid_len);
std::vector<uint8_t> att_read_by_group_type_req(uint16_t start, uint16_t end, uint16_t group);
std::vector<uint8_t> att_read_req(uint16_t handle);
std::vector<uint8_t> att_read_blob_req(uint16_t handle, uint16_t offset);
// `command`: a Write Command (no response) instead of a Write Request.
std::vector<uint8_t> att_write(uint16_t handle, const uint8_t *value, size_t len, bool command = false);
std::vector<uint8_t> att_prepare_write_req(uint16_t handle, uint16_t offset, const uint8_t *value, size_t len);
std::vector<uint8_t> att_execute_write_req(bool commit);

// ---- Decoders: false when the bytes are too short for what they claim -----
struct CommandComplete {
    uint8_t credits;
    uint16_t opcode;
    const uint8_t *ret;  // return parameters, status first
    size_t ret_len;
};
// `params`/`len`: an event's parameters (after code and length).
bool parse_command_complete(const uint8_t *params, size_t len, CommandComplete *out);
struct CommandStatus {
    uint8_t status;
    uint8_t credits;
    uint16_t opcode;
};
bool parse_command_status(const uint8_t *params, size_t len, CommandStatus *out);
struct AclHeader {
    uint16_t con_handle;
    uint8_t pb;
    const uint8_t *data;
    size_t len;
};
// `pkt`/`len`: an ACL packet without its indicator; the header's length
// must match the bytes that follow.
bool parse_acl(const uint8_t *pkt, size_t len, AclHeader *out);
struct Command {
    uint16_t opcode;
    const uint8_t *params;
    size_t len;
};
// `pkt`/`len`: a command packet without its indicator.
bool parse_command(const uint8_t *pkt, size_t len, Command *out);

// ---- The H4 stream reader ----------------------------------------------------
// Cuts a byte stream into whole packets. A byte that is not a packet
// indicator where one is due, and a packet whose length exceeds the bound of
// its type, are thrown away and the reader looks for the next indicator, so
// garbage on the line costs the packets it hides and nothing else.
class H4Reader {
  public:
    // (indicator, packet without the indicator: header and payload)
    using Sink = std::function<void(uint8_t type, const uint8_t *pkt, size_t len)>;
    // `max_acl`: the longest ACL payload accepted. `accept_commands`: a
    // controller-side reader takes command packets too.
    explicit H4Reader(size_t max_acl = 1024, bool accept_commands = false);
    void feed(const uint8_t *data, size_t len, const Sink &sink);
    void reset();
    // Bytes thrown away since construction (garbage and refused packets).
    uint64_t discarded() const { return discarded_; }

  private:
    size_t header_len(uint8_t type) const;
    size_t payload_len() const;
    size_t max_acl_;
    bool accept_commands_;
    uint8_t type_ = 0;
    std::vector<uint8_t> buf_;
    size_t need_ = 0;
    uint64_t discarded_ = 0;
};

}  // namespace orvi_hci

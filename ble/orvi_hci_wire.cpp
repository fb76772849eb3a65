#include "orvi_hci_wire.h"

#include <algorithm>

namespace orvi_hci {

std::vector<uint8_t> h4_command(uint16_t opcode, const uint8_t *params, size_t len) {
    len = std::min<size_t>(len, 255);
    std::vector<uint8_t> out;
    out.reserve(4 + len);
    out.push_back(H4_COMMAND);
    put16(out, opcode);
    out.push_back((uint8_t)len);
    put_bytes(out, params, len);
    return out;
}

std::vector<uint8_t> h4_event(uint8_t code, const uint8_t *params, size_t len) {
    len = std::min<size_t>(len, 255);
    std::vector<uint8_t> out;
    out.reserve(3 + len);
    out.push_back(H4_EVENT);
    out.push_back(code);
    out.push_back((uint8_t)len);
    put_bytes(out, params, len);
    return out;
}

std::vector<uint8_t> h4_command_complete(uint8_t credits, uint16_t opcode, const uint8_t *ret, size_t len) {
    std::vector<uint8_t> p;
    p.push_back(credits);
    put16(p, opcode);
    put_bytes(p, ret, len);
    return h4_event(EVT_COMMAND_COMPLETE, p.data(), p.size());
}

std::vector<uint8_t> h4_command_status(uint8_t status, uint8_t credits, uint16_t opcode) {
    std::vector<uint8_t> p{status, credits};
    put16(p, opcode);
    return h4_event(EVT_COMMAND_STATUS, p.data(), p.size());
}

std::vector<uint8_t> h4_acl(uint16_t con_handle, uint8_t pb, const uint8_t *data, size_t len) {
    len = std::min<size_t>(len, 0xFFFF);
    std::vector<uint8_t> out;
    out.reserve(5 + len);
    out.push_back(H4_ACL);
    put16(out, (uint16_t)((con_handle & 0x0FFF) | ((pb & 0x3) << 12)));
    put16(out, (uint16_t)len);
    put_bytes(out, data, len);
    return out;
}

std::vector<uint8_t> l2cap_frame(uint16_t cid, const uint8_t *payload, size_t len) {
    len = std::min<size_t>(len, 0xFFFF);
    std::vector<uint8_t> out;
    out.reserve(4 + len);
    put16(out, (uint16_t)len);
    put16(out, cid);
    put_bytes(out, payload, len);
    return out;
}

std::vector<std::vector<uint8_t>> h4_acl_fragments(uint16_t con_handle, uint8_t first_pb, const uint8_t *l2cap,
                                                    size_t len, size_t acl_max) {
    std::vector<std::vector<uint8_t>> out;
    if (acl_max == 0) acl_max = 27;
    size_t off = 0;
    do {
        size_t n = std::min(acl_max, len - off);
        out.push_back(h4_acl(con_handle, off == 0 ? first_pb : (uint8_t)ACL_PB_CONTINUATION, l2cap + off, n));
        off += n;
    } while (off < len);
    return out;
}

std::vector<uint8_t> h4_le_connection_complete(uint8_t status, uint16_t con_handle, const uint8_t peer[6]) {
    std::vector<uint8_t> p{LE_CONNECTION_COMPLETE, status};
    put16(p, con_handle);
    p.push_back(1);  // role: peripheral
    p.push_back(0);  // peer address type: public
    for (int i = 5; i >= 0; i--) p.push_back(peer[i]);
    put16(p, 0x0018);  // interval
    put16(p, 0);       // latency
    put16(p, 0x01F4);  // supervision timeout
    p.push_back(0);    // central clock accuracy
    return h4_event(EVT_LE_META, p.data(), p.size());
}

std::vector<uint8_t> h4_disconnection_complete(uint8_t status, uint16_t con_handle, uint8_t reason) {
    std::vector<uint8_t> p{status};
    put16(p, con_handle);
    p.push_back(reason);
    return h4_event(EVT_DISCONNECTION_COMPLETE, p.data(), p.size());
}

std::vector<uint8_t> h4_num_completed_packets(uint16_t con_handle, uint16_t count) {
    std::vector<uint8_t> p{1};
    put16(p, con_handle);
    put16(p, count);
    return h4_event(EVT_NUM_COMPLETED_PACKETS, p.data(), p.size());
}

std::vector<uint8_t> att_error(uint8_t req_opcode, uint16_t handle, uint8_t code) {
    std::vector<uint8_t> out{ATT_ERROR_RSP, req_opcode};
    put16(out, handle);
    out.push_back(code);
    return out;
}

namespace {
std::vector<uint8_t> att_range(uint8_t op, uint16_t start, uint16_t end) {
    std::vector<uint8_t> out{op};
    put16(out, start);
    put16(out, end);
    return out;
}
}  // namespace

std::vector<uint8_t> att_mtu_req(uint16_t mtu) {
    std::vector<uint8_t> out{ATT_MTU_REQ};
    put16(out, mtu);
    return out;
}

std::vector<uint8_t> att_find_info_req(uint16_t start, uint16_t end) {
    return att_range(ATT_FIND_INFO_REQ, start, end);
}

std::vector<uint8_t> att_find_by_type_value_req(uint16_t start, uint16_t end, uint16_t type, const uint8_t *value,
                                                size_t len) {
    std::vector<uint8_t> out = att_range(ATT_FIND_BY_TYPE_VALUE_REQ, start, end);
    put16(out, type);
    put_bytes(out, value, len);
    return out;
}

std::vector<uint8_t> att_read_by_type_req(uint16_t start, uint16_t end, const uint8_t *uuid, size_t uuid_len) {
    std::vector<uint8_t> out = att_range(ATT_READ_BY_TYPE_REQ, start, end);
    put_bytes(out, uuid, uuid_len);
    return out;
}

std::vector<uint8_t> att_read_by_group_type_req(uint16_t start, uint16_t end, uint16_t group) {
    std::vector<uint8_t> out = att_range(ATT_READ_BY_GROUP_TYPE_REQ, start, end);
    put16(out, group);
    return out;
}

std::vector<uint8_t> att_read_req(uint16_t handle) {
    std::vector<uint8_t> out{ATT_READ_REQ};
    put16(out, handle);
    return out;
}

std::vector<uint8_t> att_read_blob_req(uint16_t handle, uint16_t offset) {
    return att_range(ATT_READ_BLOB_REQ, handle, offset);
}

std::vector<uint8_t> att_write(uint16_t handle, const uint8_t *value, size_t len, bool command) {
    std::vector<uint8_t> out{command ? (uint8_t)ATT_WRITE_CMD : (uint8_t)ATT_WRITE_REQ};
    put16(out, handle);
    put_bytes(out, value, len);
    return out;
}

std::vector<uint8_t> att_prepare_write_req(uint16_t handle, uint16_t offset, const uint8_t *value, size_t len) {
    std::vector<uint8_t> out = att_range(ATT_PREPARE_WRITE_REQ, handle, offset);
    put_bytes(out, value, len);
    return out;
}

std::vector<uint8_t> att_execute_write_req(bool commit) {
    return {ATT_EXECUTE_WRITE_REQ, (uint8_t)(commit ? 1 : 0)};
}

bool parse_command_complete(const uint8_t *params, size_t len, CommandComplete *out) {
    if (len < 3) return false;
    out->credits = params[0];
    out->opcode = get16(params + 1);
    out->ret = params + 3;
    out->ret_len = len - 3;
    return true;
}

bool parse_command_status(const uint8_t *params, size_t len, CommandStatus *out) {
    if (len < 4) return false;
    out->status = params[0];
    out->credits = params[1];
    out->opcode = get16(params + 2);
    return true;
}

bool parse_acl(const uint8_t *pkt, size_t len, AclHeader *out) {
    if (len < 4) return false;
    uint16_t h = get16(pkt);
    size_t n = get16(pkt + 2);
    if (n != len - 4) return false;
    out->con_handle = h & 0x0FFF;
    out->pb = (uint8_t)((h >> 12) & 0x3);
    out->data = pkt + 4;
    out->len = n;
    return true;
}

bool parse_command(const uint8_t *pkt, size_t len, Command *out) {
    if (len < 3 || (size_t)pkt[2] != len - 3) return false;
    out->opcode = get16(pkt);
    out->params = pkt + 3;
    out->len = pkt[2];
    return true;
}

H4Reader::H4Reader(size_t max_acl, bool accept_commands) : max_acl_(max_acl), accept_commands_(accept_commands) {}

void H4Reader::reset() {
    type_ = 0;
    buf_.clear();
    need_ = 0;
}

size_t H4Reader::header_len(uint8_t type) const {
    switch (type) {
    case H4_COMMAND: return accept_commands_ ? 3 : 0;
    case H4_ACL: return 4;
    case H4_SCO: return 3;
    case H4_EVENT: return 2;
    default: return 0;
    }
}

size_t H4Reader::payload_len() const {
    switch (type_) {
    case H4_COMMAND:
    case H4_SCO: return buf_[2];
    case H4_ACL: return get16(buf_.data() + 2);
    case H4_EVENT: return buf_[1];
    default: return 0;
    }
}

void H4Reader::feed(const uint8_t *data, size_t len, const Sink &sink) {
    for (size_t i = 0; i < len;) {
        if (type_ == 0) {
            uint8_t t = data[i++];
            size_t h = header_len(t);
            if (h == 0) {
                discarded_++;
                continue;
            }
            type_ = t;
            buf_.clear();
            need_ = h;
            continue;
        }
        size_t take = std::min(need_, len - i);
        buf_.insert(buf_.end(), data + i, data + i + take);
        i += take;
        need_ -= take;
        if (need_ > 0) continue;
        size_t hl = header_len(type_);
        if (buf_.size() == hl) {
            size_t pl = payload_len();
            if (type_ == H4_ACL && pl > max_acl_) {
                // A length no controller of ours sends: the header was
                // garbage, so look for the next indicator right after it.
                discarded_ += 1 + buf_.size();
                reset();
                continue;
            }
            if (pl > 0) {
                buf_.reserve(hl + pl);
                need_ = pl;
                continue;
            }
        }
        uint8_t t = type_;
        std::vector<uint8_t> pkt;
        pkt.swap(buf_);
        reset();
        if (t == H4_SCO) {
            discarded_ += 1 + pkt.size();  // no voice links on an LE peripheral
            continue;
        }
        sink(t, pkt.data(), pkt.size());
    }
}

}  // namespace orvi_hci

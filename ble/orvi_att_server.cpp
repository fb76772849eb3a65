#include "orvi_att_server.h"

#include <algorithm>
#include <cstring>

#include "orvi_gatt_db.h"
#include "orvi_hci_wire.h"
#include "orvi_log.h"

using namespace orvi_hci;

namespace {

// Two attribute types name the same UUID (16-bit ones stand for the base UUID form).
std::vector<uint8_t> uuid128(const std::vector<uint8_t> &t) {
    if (t.size() == 16) return t;
    // 0000xxxx-0000-1000-8000-00805f9b34fb, little endian.
    std::vector<uint8_t> b = {0xFB, 0x34, 0x9B, 0x5F, 0x80, 0x00, 0x00, 0x80, 0x00, 0x10, 0x00, 0x00, 0, 0, 0, 0};
    if (t.size() == 2) {
        b[12] = t[0];
        b[13] = t[1];
    }
    return b;
}

bool same_uuid(const std::vector<uint8_t> &a, const uint8_t *b, size_t blen) {
    if (a.size() == blen) return memcmp(a.data(), b, blen) == 0;
    return uuid128(a) == uuid128(std::vector<uint8_t>(b, b + blen));
}

}  // namespace

void OrviAttServer::reset(uint16_t con_handle) {
    con_ = con_handle;
    mtu_ = ATT_DEFAULT_MTU;
    queue_.clear();
    queue_bytes_ = 0;
}

std::vector<uint8_t> OrviAttServer::handle(const uint8_t *pdu, size_t len) {
    if (len == 0) return {};
    uint8_t op = pdu[0];
    if (len > mtu_) {
        // Longer than the agreed MTU: no client may send it, and echoing a
        // prepared write would answer past the MTU.
        ORVI_LOGW("ATT PDU 0x%02x of %zu bytes exceeds MTU %u", op, len, mtu_);
        if (op & ATT_COMMAND_FLAG) return {};
        return att_error(op, 0, ATT_ERR_INVALID_PDU);
    }
    switch (op) {
    case ATT_MTU_REQ: return exchange_mtu(pdu, len);
    case ATT_FIND_INFO_REQ: return find_information(pdu, len);
    case ATT_FIND_BY_TYPE_VALUE_REQ: return find_by_type_value(pdu, len);
    case ATT_READ_BY_TYPE_REQ: return read_by_type(pdu, len);
    case ATT_READ_BY_GROUP_TYPE_REQ: return read_by_group_type(pdu, len);
    case ATT_READ_REQ:
    case ATT_READ_BLOB_REQ: return read(op, pdu, len);
    case ATT_WRITE_REQ:
    case ATT_WRITE_CMD: return write(op, pdu, len);
    case ATT_PREPARE_WRITE_REQ: return prepare_write(pdu, len);
    case ATT_EXECUTE_WRITE_REQ: return execute_write(pdu, len);
    case ATT_HANDLE_VALUE_CFM: return {};
    default:
        if (op & ATT_COMMAND_FLAG) {
            ORVI_LOGW("ATT command 0x%02x not supported: ignored", op);
            return {};
        }
        ORVI_LOGW("ATT request 0x%02x not supported", op);
        return att_error(op, 0, ATT_ERR_REQUEST_NOT_SUPPORTED);
    }
}

std::vector<uint8_t> OrviAttServer::notification(uint16_t att_handle, const uint8_t *data, size_t len) const {
    if (len + 3 > mtu_) return {};
    std::vector<uint8_t> out{ATT_HANDLE_VALUE_NTF};
    put16(out, att_handle);
    put_bytes(out, data, len);
    return out;
}

std::vector<uint8_t> OrviAttServer::exchange_mtu(const uint8_t *p, size_t n) {
    if (n != 3) return att_error(p[0], 0, ATT_ERR_INVALID_PDU);
    uint16_t client = get16(p + 1);
    mtu_ = std::min<uint16_t>(std::max<uint16_t>(client, ATT_DEFAULT_MTU), kServerMtu);
    std::vector<uint8_t> out{ATT_MTU_RSP};
    put16(out, kServerMtu);
    if (listener_) listener_->on_mtu(con_, mtu_);
    return out;
}

uint16_t OrviAttServer::group_end(uint16_t handle) const {
    const auto &db = orvi_gatt_db();
    const OrviGattAttr *a = orvi_gatt_find(handle);
    if (!a || !(a->type_is16(ORVI_UUID_PRIMARY_SERVICE) || a->type_is16(ORVI_UUID_SECONDARY_SERVICE))) return handle;
    uint16_t end = handle;
    for (size_t i = handle; i < db.size(); i++) {  // db[i] is handle i + 1
        if (db[i].type_is16(ORVI_UUID_PRIMARY_SERVICE) || db[i].type_is16(ORVI_UUID_SECONDARY_SERVICE)) break;
        end = db[i].handle;
    }
    return end;
}

std::vector<uint8_t> OrviAttServer::find_information(const uint8_t *p, size_t n) {
    if (n != 5) return att_error(p[0], 0, ATT_ERR_INVALID_PDU);
    uint16_t start = get16(p + 1), end = get16(p + 3);
    if (start == 0 || start > end) return att_error(p[0], start, ATT_ERR_INVALID_HANDLE);
    std::vector<uint8_t> out{ATT_FIND_INFO_RSP, 0};
    size_t type_len = 0;
    for (const auto &a : orvi_gatt_db()) {
        if (a.handle < start || a.handle > end) continue;
        if (type_len == 0) {
            type_len = a.type.size();
            out[1] = type_len == 2 ? 1 : 2;
        }
        if (a.type.size() != type_len || out.size() + 2 + type_len > mtu_) break;
        put16(out, a.handle);
        put_bytes(out, a.type.data(), a.type.size());
    }
    if (type_len == 0) return att_error(p[0], start, ATT_ERR_ATTRIBUTE_NOT_FOUND);
    return out;
}

std::vector<uint8_t> OrviAttServer::find_by_type_value(const uint8_t *p, size_t n) {
    if (n < 7) return att_error(p[0], 0, ATT_ERR_INVALID_PDU);
    uint16_t start = get16(p + 1), end = get16(p + 3), type = get16(p + 5);
    if (start == 0 || start > end) return att_error(p[0], start, ATT_ERR_INVALID_HANDLE);
    const uint8_t *val = p + 7;
    size_t vlen = n - 7;
    std::vector<uint8_t> out{ATT_FIND_BY_TYPE_VALUE_RSP};
    for (const auto &a : orvi_gatt_db()) {
        if (a.handle < start || a.handle > end || !a.type_is16(type)) continue;
        if (a.flags & ORVI_GATT_DYNAMIC) continue;  // values the listener owns are not searched
        bool service = a.type_is16(ORVI_UUID_PRIMARY_SERVICE) || a.type_is16(ORVI_UUID_SECONDARY_SERVICE);
        bool match = service && (vlen == 2 || vlen == 16)
                         ? same_uuid(a.value, val, vlen)
                         : a.value.size() == vlen && (vlen == 0 || memcmp(a.value.data(), val, vlen) == 0);
        if (!match) continue;
        if (out.size() + 4 > mtu_) break;
        put16(out, a.handle);
        put16(out, group_end(a.handle));
    }
    if (out.size() == 1) return att_error(p[0], start, ATT_ERR_ATTRIBUTE_NOT_FOUND);
    return out;
}

std::vector<uint8_t> OrviAttServer::value_of(uint16_t handle, uint16_t offset, size_t cap, uint8_t *err) {
    *err = 0;
    const OrviGattAttr *a = orvi_gatt_find(handle);
    if (!a) {
        *err = ATT_ERR_INVALID_HANDLE;
        return {};
    }
    if (!(a->flags & ORVI_GATT_READ)) {
        *err = ATT_ERR_READ_NOT_PERMITTED;
        return {};
    }
    if (!(a->flags & ORVI_GATT_DYNAMIC)) {
        if (offset > a->value.size()) {
            *err = ATT_ERR_INVALID_OFFSET;
            return {};
        }
        size_t take = std::min(cap, a->value.size() - offset);
        return std::vector<uint8_t>(a->value.begin() + offset, a->value.begin() + offset + take);
    }
    if (!listener_) return {};
    std::vector<uint8_t> buf(cap);
    uint8_t e = 0;
    size_t got = listener_->on_read(con_, handle, offset, buf.data(), cap, &e);
    if (e != 0) {
        *err = e;
        return {};
    }
    buf.resize(std::min(got, cap));
    return buf;
}

std::vector<uint8_t> OrviAttServer::read_by_type(const uint8_t *p, size_t n) {
    if (n != 7 && n != 21) return att_error(p[0], 0, ATT_ERR_INVALID_PDU);
    uint16_t start = get16(p + 1), end = get16(p + 3);
    if (start == 0 || start > end) return att_error(p[0], start, ATT_ERR_INVALID_HANDLE);
    const size_t cap = std::min<size_t>(mtu_ - 4, 253);
    std::vector<uint8_t> out{ATT_READ_BY_TYPE_RSP, 0};
    size_t item = 0;
    for (const auto &a : orvi_gatt_db()) {
        if (a.handle < start || a.handle > end || !same_uuid(a.type, p + 5, n - 5)) continue;
        uint8_t err = 0;
        std::vector<uint8_t> v = value_of(a.handle, 0, cap, &err);
        if (err) {
            if (item == 0) return att_error(p[0], a.handle, err);
            break;
        }
        if (item == 0) {
            item = 2 + v.size();
            out[1] = (uint8_t)item;
        } else if (2 + v.size() != item || out.size() + item > mtu_) {
            break;
        }
        put16(out, a.handle);
        put_bytes(out, v.data(), v.size());
    }
    if (item == 0) return att_error(p[0], start, ATT_ERR_ATTRIBUTE_NOT_FOUND);
    return out;
}

std::vector<uint8_t> OrviAttServer::read_by_group_type(const uint8_t *p, size_t n) {
    if (n != 7 && n != 21) return att_error(p[0], 0, ATT_ERR_INVALID_PDU);
    uint16_t start = get16(p + 1), end = get16(p + 3);
    if (start == 0 || start > end) return att_error(p[0], start, ATT_ERR_INVALID_HANDLE);
    std::vector<uint8_t> grp(p + 5, p + n);
    if (!same_uuid(uuid128({0x00, 0x28}), grp.data(), grp.size()) &&
        !same_uuid(uuid128({0x01, 0x28}), grp.data(), grp.size()))
        return att_error(p[0], start, ATT_ERR_UNSUPPORTED_GROUP_TYPE);
    const size_t cap = std::min<size_t>(mtu_ - 6, 251);
    std::vector<uint8_t> out{ATT_READ_BY_GROUP_TYPE_RSP, 0};
    size_t item = 0;
    for (const auto &a : orvi_gatt_db()) {
        if (a.handle < start || a.handle > end || !same_uuid(a.type, grp.data(), grp.size())) continue;
        size_t vlen = std::min(cap, a.value.size());
        if (item == 0) {
            item = 4 + vlen;
            out[1] = (uint8_t)item;
        } else if (4 + vlen != item || out.size() + item > mtu_) {
            break;
        }
        put16(out, a.handle);
        put16(out, group_end(a.handle));
        put_bytes(out, a.value.data(), vlen);
    }
    if (item == 0) return att_error(p[0], start, ATT_ERR_ATTRIBUTE_NOT_FOUND);
    return out;
}

std::vector<uint8_t> OrviAttServer::read(uint8_t op, const uint8_t *p, size_t n) {
    bool blob = op == ATT_READ_BLOB_REQ;
    if (n != (blob ? 5u : 3u)) return att_error(op, 0, ATT_ERR_INVALID_PDU);
    uint16_t h = get16(p + 1);
    uint16_t offset = blob ? get16(p + 3) : 0;
    uint8_t err = 0;
    std::vector<uint8_t> v = value_of(h, offset, mtu_ - 1, &err);
    if (err) return att_error(op, h, err);
    std::vector<uint8_t> out{blob ? (uint8_t)ATT_READ_BLOB_RSP : (uint8_t)ATT_READ_RSP};
    put_bytes(out, v.data(), v.size());
    return out;
}

uint8_t OrviAttServer::check_write(uint16_t handle, size_t len, bool whole) const {
    const OrviGattAttr *a = orvi_gatt_find(handle);
    if (!a) return ATT_ERR_INVALID_HANDLE;
    if (!(a->flags & ORVI_GATT_WRITE)) return ATT_ERR_WRITE_NOT_PERMITTED;
    if (len > ATT_MAX_VALUE) return ATT_ERR_INVALID_VALUE_LENGTH;
    if (whole && a->type_is16(ORVI_UUID_CCC) && len != 2) return ATT_ERR_INVALID_VALUE_LENGTH;
    return 0;
}

std::vector<uint8_t> OrviAttServer::write(uint8_t op, const uint8_t *p, size_t n) {
    bool request = op == ATT_WRITE_REQ;
    if (n < 3) return request ? att_error(op, 0, ATT_ERR_INVALID_PDU) : std::vector<uint8_t>{};
    uint16_t h = get16(p + 1);
    uint8_t err = check_write(h, n - 3, true);
    if (err == 0 && listener_)
        err = listener_->on_write(con_, h, request ? ORVI_ATT_WRITE_REQUEST : ORVI_ATT_WRITE_COMMAND, 0, p + 3, n - 3);
    if (!request) {
        if (err) ORVI_LOGW("write command to 0x%04x refused (0x%02x)", h, err);
        return {};
    }
    if (err) return att_error(op, h, err);
    return {ATT_WRITE_RSP};
}

std::vector<uint8_t> OrviAttServer::prepare_write(const uint8_t *p, size_t n) {
    if (n < 5) return att_error(p[0], 0, ATT_ERR_INVALID_PDU);
    uint16_t h = get16(p + 1), offset = get16(p + 3);
    uint8_t err = check_write(h, 0, false);
    if (err) return att_error(p[0], h, err);
    size_t len = n - 5;
    if (queue_.size() >= kPrepareEntries || queue_bytes_ + len > kPrepareBytes) {
        ORVI_LOGW("prepare queue full: write to 0x%04x at %u refused", h, offset);
        return att_error(p[0], h, ATT_ERR_PREPARE_QUEUE_FULL);
    }
    queue_.push_back({h, offset, std::vector<uint8_t>(p + 5, p + n)});
    queue_bytes_ += len;
    std::vector<uint8_t> out(p, p + n);
    out[0] = ATT_PREPARE_WRITE_RSP;
    return out;
}

std::vector<uint8_t> OrviAttServer::execute_write(const uint8_t *p, size_t n) {
    std::vector<Prepared> q;
    q.swap(queue_);
    queue_bytes_ = 0;
    if (n != 2 || p[1] > 1) return att_error(ATT_EXECUTE_WRITE_REQ, 0, ATT_ERR_INVALID_PDU);
    if (p[1] == 0) return {ATT_EXECUTE_WRITE_RSP};
    // Every value is assembled and checked before any is delivered, so a
    // refused piece leaves no half-written attribute behind.
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> values;
    for (const auto &e : q) {
        auto it = std::find_if(values.begin(), values.end(), [&](const auto &v) { return v.first == e.handle; });
        if (it == values.end()) it = values.insert(values.end(), {e.handle, {}});
        auto &buf = it->second;
        if (e.offset > buf.size()) return att_error(ATT_EXECUTE_WRITE_REQ, e.handle, ATT_ERR_INVALID_OFFSET);
        size_t endpos = (size_t)e.offset + e.data.size();
        if (endpos > ATT_MAX_VALUE) return att_error(ATT_EXECUTE_WRITE_REQ, e.handle, ATT_ERR_INVALID_VALUE_LENGTH);
        if (buf.size() < endpos) buf.resize(endpos);
        if (!e.data.empty()) memcpy(buf.data() + e.offset, e.data.data(), e.data.size());
    }
    for (const auto &v : values) {
        uint8_t err = check_write(v.first, v.second.size(), true);
        if (err) return att_error(ATT_EXECUTE_WRITE_REQ, v.first, err);
    }
    for (const auto &v : values) {
        if (!listener_) break;
        uint8_t err = listener_->on_write(con_, v.first, ORVI_ATT_WRITE_LONG, 0, v.second.data(), v.second.size());
        if (err) return att_error(ATT_EXECUTE_WRITE_REQ, v.first, err);
    }
    return {ATT_EXECUTE_WRITE_RSP};
}

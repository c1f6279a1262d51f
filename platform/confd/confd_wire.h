// The item codec of the agent's wire protocol (frames and ops in
// confd_proto.h). Shared by the client library, the agent and the CLI.
//
// Items, each a kind byte and its payload (integers big endian):
//   NIL       0x00
//   I64       0x01  i64
//   BYTES     0x02  u32 length, bytes (strings carry no terminator)
//   VALUE     0x03  value
//   TAG_VALUE 0x04  u32 tag, u32 ns, value
//   KEYPATH   0x05  u8 elements, outermost first; each: u8 count, count values
//                   (an element: one C_XMLTAG; a list instance: its keys)
//   LIST      0x06  u32 count, count items
// value: u8 confd_vtype, then
//   NOEXISTS, EMPTY: nothing           XMLTAG, XMLBEGIN, XMLEND, XMLBEGINDEL: u32 tag, u32 ns
//   INT8, UINT8, BOOL: 1 byte          INT16, UINT16: 2      INT32, UINT32, SYMBOL, ENUM_VALUE, BIT32: 4
//   INT64, UINT64, BIT64, DOUBLE (IEEE bits): 8              IPV4: 4 bytes network order; IPV6: 16
//   STR, BUF: u32 length, bytes        DATETIME: i16 year, u8 month day hour min sec, u32 micro, i8 tz, i8 tz min
//   LIST: u32 count, count values (no nested lists)
//
// A reader never reads past its buffer, never allocates more than the
// buffer could describe, and fails (and stays failed) on anything
// malformed; what it handed out before the failure stays valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "confd_lib.h"
#include "confd_proto.h"

namespace mgmt_wire {

enum class kind : uint8_t {
    nil = 0x00,
    i64 = 0x01,
    bytes = 0x02,
    value = 0x03,
    tag_value = 0x04,
    keypath = 0x05,
    list = 0x06,
};

// The type names an element (XMLTAG, XMLBEGIN, XMLEND, XMLBEGINDEL).
bool value_is_tag(uint32_t type);
// Bytes of the fixed-size payload of a value type; -1 for the variable
// ones (STR, BUF, LIST) and for types the protocol does not carry.
int value_fixed_size(uint32_t type);

// Builds one frame. begin() starts it (length patched by finish()).
class writer {
public:
    explicit writer(mgmt_op op, uint32_t xid = 0);
    writer &nil();
    writer &i64(int64_t v);
    writer &bytes(std::string_view s);
    writer &str(std::string_view s) { return bytes(s); }
    // A value's payload is copied; a C_LIST inside a C_LIST is written as an empty list.
    writer &value(const confd_value_t &v);
    writer &tag_value(const confd_tag_value_t &tv);
    writer &tag_values(const confd_tag_value_t *tv, int n);  // a LIST of TAG_VALUE
    // kp in the library's order (v[0] innermost); written outermost first.
    writer &keypath(const confd_hkeypath_t &kp);
    writer &list(uint32_t count);  // the next count items are its members
    // The finished frame, length included. The writer may not be used after.
    std::string finish();
    size_t size() const { return buf_.size(); }

private:
    void put_u8(uint8_t v) { buf_.push_back(static_cast<char>(v)); }
    void put_u16(uint16_t v);
    void put_u32(uint32_t v);
    void put_u64(uint64_t v);
    void put_value(const confd_value_t &v, bool nested);
    std::string buf_;
};

// Reads the fields of one frame body (what follows the length).
class reader {
public:
    explicit reader(std::span<const uint8_t> body);
    explicit reader(std::string_view body)
        : reader(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(body.data()), body.size()))
    {
    }

    mgmt_op op() const { return op_; }
    uint32_t xid() const { return xid_; }
    bool ok() const { return ok_; }
    bool at_end() const { return ok_ && pos_ == data_.size(); }
    // The kind of the next item, or nil at the end or after a failure.
    kind peek() const;

    bool nil();
    bool i64(int64_t &out);
    bool bytes(std::string_view &out);  // points into the frame
    bool str(std::string &out);
    // The value's payloads (C_STR, C_BUF, C_LIST) are malloc'ed: the caller
    // releases them with confd_free_value. Nothing is allocated on failure.
    bool value(confd_value_t &out);
    bool tag_value(confd_tag_value_t &out);
    // kp in the library's order; key payloads malloc'ed as for value().
    // Fails when the path is deeper than MAXDEPTH or has more than
    // MAXKEYLEN - 1 keys in one element.
    bool keypath(confd_hkeypath_t &out);
    bool list(uint32_t &count);
    // A LIST of TAG_VALUE into a malloc'ed array (*out, *n), NULL when empty;
    // release with mgmt_wire::free_tag_values.
    bool tag_values(confd_tag_value_t **out, int *n);
    // Skips one item of any kind, checking it whole.
    bool skip();

private:
    bool fail();
    bool need(size_t n);
    uint8_t get_u8();
    uint16_t get_u16();
    uint32_t get_u32();
    uint64_t get_u64();
    bool get_value(confd_value_t &out, bool nested);
    bool skip_value(bool nested);
    bool skip_item(int depth);

    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    mgmt_op op_{};
    uint32_t xid_ = 0;
    bool ok_ = true;
};

// A whole frame body is well formed: op, xid and items to its very end.
bool check_body(std::span<const uint8_t> body);

// Cuts frames out of a byte stream.
class frame_buffer {
public:
    // max: the longest frame body this reader takes (at most
    // MGMT_WIRE_MAX_FRAME); the agent takes less from its peers than the CLI
    // takes from the agent.
    explicit frame_buffer(uint32_t max = MGMT_WIRE_MAX_FRAME) : max_(max) {}
    void append(const void *data, size_t n);
    // The next whole frame's body (valid until the next call), false when
    // none is complete yet. error() turns true on a length outside
    // 5 .. max: the stream cannot be resynchronised.
    bool next(std::span<const uint8_t> &body);
    bool error() const { return error_; }
    size_t buffered() const { return buf_.size() - start_; }
    // Bytes still missing to complete the next frame (at least 1 when none
    // is complete; 0 when one is, or after an error), so that a reader can
    // take a frame without reading into the one after it.
    size_t missing() const;

private:
    std::string buf_;
    size_t start_ = 0;
    uint32_t max_;
    bool error_ = false;
};

// The handshake's proof: HMAC-SHA256 of the agent's nonce keyed with the
// IPC secret. False only when OpenSSL fails.
bool hello_proof(std::string_view secret, std::string_view nonce, std::string *proof);
// The proof matches the one expected for secret and nonce (constant time).
bool hello_proof_ok(std::string_view secret, std::string_view nonce, std::string_view proof);

// Releases an array from reader::tag_values (payloads included).
void free_tag_values(confd_tag_value_t *tv, int n);
// Releases the key payloads of a keypath filled by reader::keypath.
void free_keypath(confd_hkeypath_t &kp);

}  // namespace mgmt_wire

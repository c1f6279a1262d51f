// Names and text forms that zor-peer reads in scripts and writes in its
// output: address families, message types, addresses, TLOC keys and the
// small enumerations of the messages.
//
// zor-peer is a peer of zord and shares only the wire contract with it (the
// transport, the codec and the common name tables), so the family table is
// kept here as every peer keeps it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zor_msg.h"

#define ZP_AF_COUNT 10

// Family names: "TLOC-IPV4", "TLOC-IPV6", "CTRL-DEVICE-IPV4", ...,
// "TRACKER"; "UNKNOWN" for any other number.
const char *zp_af_str(uint32_t af);
// A family name (case-insensitive) or a number 0-255 (numbers outside the
// table are allowed so that scripts can test how zord treats them). False
// for anything else.
bool zp_af_from_str(const std::string &text, uint32_t *af);
// The family of a TLOC or device address: the IPv4 family unless the address
// is IPv6.
uint32_t zp_af_tloc_for(const ip_addr_t &addr);
uint32_t zp_af_ctrl_device_for(const ip_addr_t &addr);
uint32_t zp_af_data_device_for(const ip_addr_t &addr);

// The suffix of a message type constant: "REGISTER", "TLOC_ADD",
// "DATA_DEVICE_STATE", ...; "UNKNOWN" for any other number.
const char *zp_msg_type_name(uint32_t type);

// Module: a module name of the module table (case-insensitive) or an id
// 1-228. False for anything else.
bool zp_module_from_str(const std::string &text, uint32_t *module);

// Unsigned number in decimal, 0x hex or 0 octal, no sign, no trailing text,
// at most max. False otherwise.
bool zp_number_from_str(const std::string &text, uint64_t max, uint64_t *value);

// Bytes as hexadecimal digit pairs, appended to *out ("" is no bytes). False
// for anything else.
bool zp_hex_from_str(const std::string &text, std::vector<uint8_t> *out);

// IPv4 dotted quad or IPv6 text (strict: inet_pton), into the address form
// of the keys (IPv4 value in host order). False otherwise.
bool zp_ip_from_str(const std::string &text, ip_addr_t *addr);
// The text of an address; "--" for a zeroed (unset) address.
std::string zp_ip_str(const ip_addr_t &addr);

// Colour: a name of the colour table (case-insensitive), one of the short
// forms "met-eth", "biz-int", "pub-int", or a number 0-255.
bool zp_color_from_str(const std::string &text, uint8_t *color);
// Encapsulation: "gre", "ipsec" (case-insensitive) or a number 0-255.
bool zp_encap_from_str(const std::string &text, uint8_t *encap);

// "ADDRESS:COLOUR:ENCAP". The address may be IPv6 (the colour and encap are
// the last two fields). On failure err says which part is wrong.
bool zp_tloc_from_str(const std::string &text, zor_tloc_key_t *key, std::string *err);
// "10.1.1.1:biz-internet:ipsec": names for codes that have one, numbers
// otherwise, so that the text reads back as the same key.
std::string zp_tloc_str(const zor_tloc_key_t &key);

// "ADDRESS:PORT" or "[IPV6]:PORT".
bool zp_addr_port_from_str(const std::string &text, ip_addr_port_t *out);
std::string zp_addr_port_str(const ip_addr_port_t &ap);

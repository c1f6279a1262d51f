// Tags and namespace numbers of the agent's schema.
//
// Every schema node has a 32-bit tag and every module a namespace number.
// Unless the YANG module gives one with the mx:tag or mx:namespace-id
// extension (yang/mgmtd-extensions.yang), a tag is the 32-bit FNV-1a hash of
// the node's name (without prefix) and a namespace number the FNV-1a hash of
// the module's namespace URI. Nodes of the same name share their tag, as
// tag-value lists carry the namespace beside the tag.
#pragma once

#include <cstdint>
#include <string_view>

constexpr uint32_t mgmt_name_hash(std::string_view name)
{
    uint32_t h = 2166136261u;
    for (char c : name) {
        h ^= static_cast<uint8_t>(c);
        h *= 16777619u;
    }
    return h;
}

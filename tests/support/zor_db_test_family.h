// A small address family for tests of the database and its users: one entry
// per 32-bit key with one payload word, carried in the data-device body of a
// message (address = key, status = payload). It follows the contract every
// family module implements (find with insertion point, create or update,
// withdraw only for the owner, record freed through record_free) and counts
// what the database asks of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zor_db.h"

namespace zt {

struct TestFamilyRecord {
    uint32_t key;
    uint32_t payload;
    t_zor_db_entry *entry;
};

// What the database asked of the family since the last reset.
struct TestFamilyLog {
    std::vector<std::string> events;  // "free <key>", "tree_create <af>", ...
    uint32_t last_af = 0xffffffff;
    int records_freed = 0;
    uint32_t reject_payload = 0xdead;  // the filter refuses this payload
    zor_af_t fail_tree_create = 0xffffffff;  // tree_create of this family fails
};

TestFamilyLog &test_family_log();
const zor_af_ops_t *test_family_ops();

// A message of the family: add or delete type of af, key and payload.
zor_msg_t test_family_msg(zor_af_t af, uint32_t key, uint32_t payload, bool is_delete = false);
// Adds through the database's dispatcher; the entry or null.
t_zor_db_entry *test_family_add(t_zor_context *ctx, zor_af_t af, t_zor_client *client, uint32_t key,
                                uint32_t payload);
TestFamilyRecord *test_family_record(const t_zor_db_entry *entry);

}  // namespace zt

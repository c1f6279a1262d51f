// The address families, described once. Each family is one row of the table
// in zor_af.cpp: its name, the message types that carry it, its operation
// table, the memory rows of its records and which messages from peers it
// takes. The family count of the context's arrays, the name table, the
// memory rows of family records and the check of a message's type against its
// family all read this table, so a new family is its module plus one row.
// Event-loop thread only; the table itself is constant.
#pragma once

#include <cstdint>

#include "zor_db.h"
#include "zor_mem.h"

// One kind of record a family allocates, for the memory table.
struct zor_af_record_t {
    zor_mem_type_t mem_type;  // ZOR_MEM_UNKNOWN: no record
    const char *type_name;
    uint32_t size;
};

struct zor_af_desc_t {
    zor_af_t id;  // the row's index
    const char *name;
    uint32_t add_type;
    uint32_t del_type;
    // Peers announce the family: an add or delete message of its types must
    // name it. False for families whose entries only zord creates; their
    // messages from a peer are dropped by the dispatch.
    bool from_peers;
    // Bit t set: a status message of type t naming this family is read by
    // the family's handler.
    uint32_t status_types;
    const zor_af_ops_t *ops;
    // The records hanging off the family's entries (the second one for a
    // family that keeps a list per entry).
    zor_af_record_t records[2];
};

// The row of a family; null for a value outside the table.
const zor_af_desc_t *zor_af_desc(zor_af_t af);

// Puts every family's operation table into its column, unless the column
// holds one already (a table put there before the context starts is kept).
// Runs before the database creates the families' trees.
void zor_af_register_all();

// Whether a message type may name this family. Adds and deletes of the
// families peers announce must carry their family's own type: the family's
// operations read the body of that type only, so a TLOC body handed to, say,
// the tracker family would be read as something it is not. Status messages
// go to the families whose handlers read them. Any other type fits (the
// dispatch decides what to do with it).
bool zor_af_type_fits(uint32_t type, zor_af_t af);

// Describes the memory rows of every family record (type name and size).
void zor_af_mem_rows_describe();

// Intrusive AVL trees: the tree links live inside the records, so a record
// can sit in a tree without any allocation by the tree.
//
// Each record embeds an avl_node_t at a fixed offset; the tree is told the
// offset and the record size at creation and from then on speaks in record
// pointers only. Records are ordered by the tree's comparison function,
// which receives two record pointers (the first is always the value being
// looked up) and returns a negative number, 0 or a positive number. Keys are
// unique: a tree never holds two records that compare equal.
//
// Zero-filled storage is a valid unlinked node, so records may be calloc'ed.
// A tree must not be moved in memory while it holds records (the root points
// back into the tree record). Not thread-safe: one tree, one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

// Directions of avl_walk.
#define AVL_BEFORE 0
#define AVL_AFTER 1

// The link embedded in a record: three pointers. The balance factor is kept
// in the two low bits of the parent word.
typedef struct avl_node {
    struct avl_node *avl_left;
    struct avl_node *avl_right;
    uintptr_t avl_pcb;  // parent pointer | balance
} avl_node_t;
static_assert(sizeof(avl_node_t) == 3 * sizeof(void *));

// An insertion point returned by avl_find for a key that is not in the tree:
// the future parent's node with the side in the low bit. Valid only until the
// tree is next changed.
typedef uintptr_t avl_index_t;

typedef int (*avl_compare_fn)(const void *value, const void *record);

struct avl_tree {
    avl_node_t avl_header;  // parent: root; left: first record; right: last record
    avl_compare_fn avl_compar;
    size_t avl_size;    // record size (kept for callers; the tree never copies records)
    size_t avl_offset;  // offset of the avl_node_t inside a record
    unsigned long avl_numnodes;
};
typedef struct avl_tree avl_tree_t;
static_assert(std::is_trivially_default_constructible_v<avl_tree_t>, "trees live in calloc'ed records");

// Makes tree an empty tree of records of the given size whose node is at the
// given offset.
void avl_create(avl_tree_t *tree, avl_compare_fn compare, size_t size, size_t offset);

// The record that compares equal to value, or null. When none is found and
// where is not null, *where receives the insertion point for value (for
// avl_insert); when one is found, *where is set to 0.
void *avl_find(avl_tree_t *tree, const void *value, avl_index_t *where);

// Links record at an insertion point that avl_find returned for its key, with
// no change to the tree in between.
void avl_insert(avl_tree_t *tree, void *record, avl_index_t where);

// Unlinks record, which must be in this tree; its node is zeroed again.
void avl_remove(avl_tree_t *tree, void *record);

// The smallest record, or null for an empty tree.
void *avl_first(avl_tree_t *tree);

// The record after (AVL_AFTER) or before (AVL_BEFORE) record, or null at the
// end. record must be in the tree.
void *avl_walk(avl_tree_t *tree, void *record, int direction);

// The first record greater than value (value need not be in the tree), or
// null when there is none.
void *avl_find_next(avl_tree_t *tree, const void *value);

unsigned long avl_numnodes(avl_tree_t *tree);

// Forgets every record: the tree becomes empty. The records' nodes are left
// as they were, so records still linked must not be removed afterwards; the
// owner frees them by other means (teardown frees entries from their lists).
void avl_destroy(avl_tree_t *tree);

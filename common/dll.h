// Intrusive doubly linked list: the buckets of the timer wheels and the
// manager's list of created timers. A node that is in no list has both links
// NULL; the list owns nothing.
//
// The timer manager keeps this list rather than a Boost.Intrusive one: its
// records are laid out field by field (two plain link pairs at the front of
// a timer, head, tail and a signed count per bucket, all zero-filled in the
// manager's one block), and a misused list stops with this file's assertions
// ("common/dll"); a circular list with a sentinel and its own checks keeps
// neither.
#pragma once

#include <cstddef>
#include <cstdint>

struct dll_node_t {
    dll_node_t *p_next;
    dll_node_t *p_prev;
};

struct dll_t {
    dll_node_t *p_head;
    dll_node_t *p_tail;
    int32_t count;
};

void dll_init(dll_t *p_dll);

// Appends a node that is in no list (assertion otherwise).
void dll_append(dll_t *p_dll, dll_node_t *p_newnode);

// Unlinks a node that is in p_dll and clears its links.
void dll_remove(dll_t *p_dll, dll_node_t *p_node);

inline dll_node_t *dll_head(const dll_t *p_dll)
{
    return p_dll->p_head;
}

inline bool dll_is_empty(const dll_t *p_dll)
{
    return p_dll->p_head == nullptr;
}

// The record that embeds a node, from the node's address.
#define DLL_CONTAINER(ptr, type, member) \
    reinterpret_cast<type *>(reinterpret_cast<char *>(ptr) - offsetof(type, member))

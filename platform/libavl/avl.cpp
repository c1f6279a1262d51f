// The libavl interface over Boost.Intrusive's AVL algorithms: Boost does the
// balancing, this file adapts its node traits to the three-pointer node and
// its two-way comparisons to the tree's three-way comparison function.
#include "avl.h"

#include <boost/intrusive/avltree_algorithms.hpp>
#include <cstring>

namespace {

constexpr uintptr_t k_balance_mask = 3;
static_assert(alignof(avl_node_t) > k_balance_mask, "the balance needs two free low bits");

struct avl_node_traits {
    using node = avl_node_t;
    using node_ptr = avl_node_t *;
    using const_node_ptr = const avl_node_t *;
    using balance = uintptr_t;

    static node_ptr get_parent(const_node_ptr n) { return reinterpret_cast<node_ptr>(n->avl_pcb & ~k_balance_mask); }
    static void set_parent(node_ptr n, node_ptr p)
    {
        n->avl_pcb = reinterpret_cast<uintptr_t>(p) | (n->avl_pcb & k_balance_mask);
    }
    static node_ptr get_left(const_node_ptr n) { return n->avl_left; }
    static void set_left(node_ptr n, node_ptr l) { n->avl_left = l; }
    static node_ptr get_right(const_node_ptr n) { return n->avl_right; }
    static void set_right(node_ptr n, node_ptr r) { n->avl_right = r; }
    static balance get_balance(const_node_ptr n) { return n->avl_pcb & k_balance_mask; }
    static void set_balance(node_ptr n, balance b) { n->avl_pcb = (n->avl_pcb & ~k_balance_mask) | b; }
    // Zero is the balanced state so that zero-filled nodes are consistent.
    static balance zero() { return 0; }
    static balance negative() { return 1; }
    static balance positive() { return 2; }
};

using algo = boost::intrusive::avltree_algorithms<avl_node_traits>;

avl_node_t *node_of(const avl_tree_t *tree, const void *record)
{
    return reinterpret_cast<avl_node_t *>(static_cast<char *>(const_cast<void *>(record)) + tree->avl_offset);
}

void *record_of(const avl_tree_t *tree, avl_node_t *node)
{
    return reinterpret_cast<char *>(node) - tree->avl_offset;
}

// Boost asks "less than" in both directions; the tree's function is always
// called with the looked-up value first, as libavl callers expect.
struct value_less {
    const avl_tree_t *tree;
    bool operator()(const void *value, avl_node_t *node) const
    {
        return tree->avl_compar(value, record_of(tree, node)) < 0;
    }
    bool operator()(avl_node_t *node, const void *value) const
    {
        return tree->avl_compar(value, record_of(tree, node)) > 0;
    }
};

avl_node_t *header_of(avl_tree_t *tree)
{
    return &tree->avl_header;
}

}  // namespace

void avl_create(avl_tree_t *tree, avl_compare_fn compare, size_t size, size_t offset)
{
    memset(tree, 0, sizeof(*tree));
    tree->avl_compar = compare;
    tree->avl_size = size;
    tree->avl_offset = offset;
    algo::init_header(header_of(tree));
}

void *avl_find(avl_tree_t *tree, const void *value, avl_index_t *where)
{
    algo::insert_commit_data data;
    std::pair<avl_node_t *, bool> r = algo::insert_unique_check(header_of(tree), value, value_less{tree}, data);
    if (!r.second) {
        if (where != nullptr) {
            *where = 0;
        }
        return record_of(tree, r.first);
    }
    if (where != nullptr) {
        *where = reinterpret_cast<uintptr_t>(data.node) | (data.link_left ? 0u : 1u);
    }
    return nullptr;
}

void avl_insert(avl_tree_t *tree, void *record, avl_index_t where)
{
    algo::insert_commit_data data;
    data.node = reinterpret_cast<avl_node_t *>(where & ~uintptr_t{1});
    data.link_left = (where & 1u) == 0;
    avl_node_t *node = node_of(tree, record);
    algo::insert_unique_commit(header_of(tree), node, data);
    tree->avl_numnodes++;
}

void avl_remove(avl_tree_t *tree, void *record)
{
    avl_node_t *node = node_of(tree, record);
    algo::erase(header_of(tree), node);
    memset(node, 0, sizeof(*node));
    tree->avl_numnodes--;
}

void *avl_first(avl_tree_t *tree)
{
    avl_node_t *header = header_of(tree);
    avl_node_t *first = algo::begin_node(header);
    return first == header ? nullptr : record_of(tree, first);
}

void *avl_walk(avl_tree_t *tree, void *record, int direction)
{
    avl_node_t *node = node_of(tree, record);
    avl_node_t *header = header_of(tree);
    if (direction == AVL_AFTER) {
        avl_node_t *next = algo::next_node(node);
        return next == header ? nullptr : record_of(tree, next);
    }
    if (node == algo::begin_node(header)) {
        return nullptr;
    }
    return record_of(tree, algo::prev_node(node));
}

void *avl_find_next(avl_tree_t *tree, const void *value)
{
    avl_node_t *header = header_of(tree);
    avl_node_t *next = algo::upper_bound(header, value, value_less{tree});
    return next == header ? nullptr : record_of(tree, next);
}

unsigned long avl_numnodes(avl_tree_t *tree)
{
    return tree->avl_numnodes;
}

void avl_destroy(avl_tree_t *tree)
{
    algo::init_header(header_of(tree));
    tree->avl_numnodes = 0;
}

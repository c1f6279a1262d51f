// The AVL interface: order for the kinds of keys the daemon uses, insertion
// points, walks that remove as they go, and balance, checked against a
// std::set model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "avl.h"
#include "ip_util.h"

namespace {

// A record with its node in the middle, so the offset arithmetic is tested.
struct int_rec {
    uint64_t before;
    avl_node_t node;
    uint32_t key;
};

int int_cmp(const void *a, const void *b)
{
    uint32_t x = static_cast<const int_rec *>(a)->key;
    uint32_t y = static_cast<const int_rec *>(b)->key;
    return x < y ? -1 : (x > y ? 1 : 0);
}

struct int_tree {
    avl_tree_t tree;
    std::vector<int_rec *> recs;
    int_tree() { avl_create(&tree, int_cmp, sizeof(int_rec), offsetof(int_rec, node)); }
    ~int_tree()
    {
        avl_destroy(&tree);
        for (int_rec *r : recs) {
            delete r;
        }
    }
    // Inserts key unless present; returns the record in the tree.
    int_rec *add(uint32_t key)
    {
        int_rec probe{};
        probe.key = key;
        avl_index_t where = 0;
        if (auto *found = static_cast<int_rec *>(avl_find(&tree, &probe, &where))) {
            EXPECT_EQ(where, 0u);
            return found;
        }
        auto *r = new int_rec{};
        r->key = key;
        recs.push_back(r);
        avl_insert(&tree, r, where);
        return r;
    }
    int_rec *find(uint32_t key)
    {
        int_rec probe{};
        probe.key = key;
        return static_cast<int_rec *>(avl_find(&tree, &probe, nullptr));
    }
    std::vector<uint32_t> keys()
    {
        std::vector<uint32_t> out;
        for (auto *r = static_cast<int_rec *>(avl_first(&tree)); r != nullptr;
             r = static_cast<int_rec *>(avl_walk(&tree, r, AVL_AFTER))) {
            out.push_back(r->key);
        }
        return out;
    }
    std::vector<uint32_t> keys_backwards()
    {
        std::vector<uint32_t> out;
        auto *r = static_cast<int_rec *>(avl_first(&tree));
        if (r == nullptr) {
            return out;
        }
        while (auto *n = static_cast<int_rec *>(avl_walk(&tree, r, AVL_AFTER))) {
            r = n;
        }
        for (; r != nullptr; r = static_cast<int_rec *>(avl_walk(&tree, r, AVL_BEFORE))) {
            out.push_back(r->key);
        }
        return out;
    }
};

// Height of the subtree under a node, following the embedded links.
int height(const avl_node_t *n)
{
    return n == nullptr ? 0 : 1 + std::max(height(n->avl_left), height(n->avl_right));
}

const avl_node_t *root_of(const avl_tree_t *tree)
{
    return reinterpret_cast<const avl_node_t *>(tree->avl_header.avl_pcb & ~uintptr_t{3});
}

TEST(AvlTree, EmptyTree)
{
    int_tree t;
    EXPECT_EQ(avl_first(&t.tree), nullptr);
    EXPECT_EQ(avl_numnodes(&t.tree), 0u);
    int_rec probe{};
    probe.key = 5;
    avl_index_t where = 0;
    EXPECT_EQ(avl_find(&t.tree, &probe, &where), nullptr);
    EXPECT_NE(where, 0u);
    EXPECT_EQ(avl_find_next(&t.tree, &probe), nullptr);
}

TEST(AvlTree, InsertionPointsPlaceEachKeyInOrder)
{
    int_tree t;
    // Each insertion point is taken right before its insert: smallest,
    // largest, and in between.
    for (uint32_t k : {50u, 10u, 90u, 30u, 70u, 20u, 80u, 60u, 40u, 0u, 100u}) {
        t.add(k);
    }
    EXPECT_EQ(t.keys(), (std::vector<uint32_t>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    EXPECT_EQ(t.keys_backwards(), (std::vector<uint32_t>{100, 90, 80, 70, 60, 50, 40, 30, 20, 10, 0}));
    EXPECT_EQ(avl_numnodes(&t.tree), 11u);

    // A present key: found, and the insertion point is cleared.
    int_rec *r30 = t.find(30);
    ASSERT_NE(r30, nullptr);
    EXPECT_EQ(r30->key, 30u);
    int_rec probe{};
    probe.key = 30;
    avl_index_t where = 12345;
    EXPECT_EQ(avl_find(&t.tree, &probe, &where), r30);
    EXPECT_EQ(where, 0u);
    // Adding it again leaves one record.
    EXPECT_EQ(t.add(30), r30);
    EXPECT_EQ(avl_numnodes(&t.tree), 11u);

    // avl_find_next: first record greater than a value, present or not.
    probe.key = 30;
    EXPECT_EQ(static_cast<int_rec *>(avl_find_next(&t.tree, &probe))->key, 40u);
    probe.key = 31;
    EXPECT_EQ(static_cast<int_rec *>(avl_find_next(&t.tree, &probe))->key, 40u);
    probe.key = 0;
    EXPECT_EQ(static_cast<int_rec *>(avl_find_next(&t.tree, &probe))->key, 10u);
    probe.key = 100;
    EXPECT_EQ(avl_find_next(&t.tree, &probe), nullptr);
    probe.key = 4000000000u;
    EXPECT_EQ(avl_find_next(&t.tree, &probe), nullptr);
}

TEST(AvlTree, RemovedNodeIsZeroedAndReinsertable)
{
    int_tree t;
    for (uint32_t k = 1; k <= 5; k++) {
        t.add(k);
    }
    int_rec *r3 = t.find(3);
    avl_remove(&t.tree, r3);
    avl_node_t zero{};
    EXPECT_EQ(memcmp(&r3->node, &zero, sizeof(zero)), 0);
    EXPECT_EQ(t.find(3), nullptr);
    EXPECT_EQ(t.keys(), (std::vector<uint32_t>{1, 2, 4, 5}));
    avl_index_t where = 0;
    EXPECT_EQ(avl_find(&t.tree, r3, &where), nullptr);
    avl_insert(&t.tree, r3, where);
    EXPECT_EQ(t.keys(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(avl_numnodes(&t.tree), 5u);
}

TEST(AvlTree, WalkingWhileRemoving)
{
    int_tree t;
    for (uint32_t k = 0; k < 200; k++) {
        t.add(k);
    }
    // Forward walk taking the successor before removing every odd key.
    for (auto *r = static_cast<int_rec *>(avl_first(&t.tree)); r != nullptr;) {
        auto *next = static_cast<int_rec *>(avl_walk(&t.tree, r, AVL_AFTER));
        if (r->key % 2 == 1) {
            avl_remove(&t.tree, r);
        }
        r = next;
    }
    std::vector<uint32_t> even;
    for (uint32_t k = 0; k < 200; k += 2) {
        even.push_back(k);
    }
    EXPECT_EQ(t.keys(), even);
    EXPECT_EQ(avl_numnodes(&t.tree), 100u);

    // Re-finding the next key after removing the current one, as the show
    // walks do.
    int_rec probe{};
    probe.key = 0;
    std::vector<uint32_t> seen;
    int_rec *r = t.find(0);
    while (r != nullptr) {
        seen.push_back(r->key);
        probe.key = r->key;
        if (r->key % 4 == 0) {
            avl_remove(&t.tree, r);
        }
        r = static_cast<int_rec *>(avl_find_next(&t.tree, &probe));
    }
    EXPECT_EQ(seen, even);
    std::vector<uint32_t> rest;
    for (uint32_t k = 2; k < 200; k += 4) {
        rest.push_back(k);
    }
    EXPECT_EQ(t.keys(), rest);

    // Removing the first record until none is left.
    while (auto *first = avl_first(&t.tree)) {
        avl_remove(&t.tree, first);
    }
    EXPECT_EQ(avl_numnodes(&t.tree), 0u);
    EXPECT_EQ(avl_first(&t.tree), nullptr);
}

TEST(AvlTree, StaysBalancedUnderSequentialInserts)
{
    int_tree t;
    const uint32_t n = 1 << 14;
    for (uint32_t k = 0; k < n; k++) {
        t.add(k);
    }
    // An AVL tree of n nodes is at most about 1.44 log2(n) high; a list would
    // be n high.
    EXPECT_LE(height(root_of(&t.tree)), 21);
    for (uint32_t k = 0; k < n; k += 3) {
        avl_remove(&t.tree, t.find(k));
    }
    EXPECT_LE(height(root_of(&t.tree)), 21);
}

TEST(AvlTree, MatchesAnOrderedSetUnderRandomChanges)
{
    for (uint32_t seed = 1; seed <= 20; seed++) {
        std::mt19937 rng(seed);
        int_tree t;
        std::set<uint32_t> model;
        for (int step = 0; step < 2000; step++) {
            uint32_t k = rng() % 300;
            if (rng() % 3 == 0) {
                if (int_rec *r = t.find(k)) {
                    avl_remove(&t.tree, r);
                }
                model.erase(k);
            } else {
                t.add(k);
                model.insert(k);
            }
            ASSERT_EQ(avl_numnodes(&t.tree), model.size());
            int_rec probe{};
            probe.key = rng() % 310;
            auto it = model.upper_bound(probe.key);
            auto *next = static_cast<int_rec *>(avl_find_next(&t.tree, &probe));
            if (it == model.end()) {
                ASSERT_EQ(next, nullptr);
            } else {
                ASSERT_NE(next, nullptr);
                ASSERT_EQ(next->key, *it);
            }
        }
        EXPECT_EQ(t.keys(), std::vector<uint32_t>(model.begin(), model.end())) << "seed " << seed;
    }
}

// Text keys, as the tracker tree orders names.
struct text_rec {
    avl_node_t node;
    char name[32];
};

int text_cmp(const void *a, const void *b)
{
    int rc = strncmp(static_cast<const text_rec *>(a)->name, static_cast<const text_rec *>(b)->name, 32);
    return rc < 0 ? -1 : (rc > 0 ? 1 : 0);
}

TEST(AvlTree, TextKeys)
{
    avl_tree_t tree;
    avl_create(&tree, text_cmp, sizeof(text_rec), 0);
    std::vector<text_rec> recs(6);
    const char *names[] = {"mpls", "", "biz", "b", "zz", "bz"};
    for (size_t i = 0; i < recs.size(); i++) {
        snprintf(recs[i].name, sizeof(recs[i].name), "%s", names[i]);
        avl_index_t where = 0;
        ASSERT_EQ(avl_find(&tree, &recs[i], &where), nullptr);
        avl_insert(&tree, &recs[i], where);
    }
    std::vector<std::string> got;
    for (auto *r = static_cast<text_rec *>(avl_first(&tree)); r != nullptr;
         r = static_cast<text_rec *>(avl_walk(&tree, r, AVL_AFTER))) {
        got.emplace_back(r->name);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"", "b", "biz", "bz", "mpls", "zz"}));
    avl_destroy(&tree);
    EXPECT_EQ(avl_numnodes(&tree), 0u);
    EXPECT_EQ(avl_first(&tree), nullptr);
}

// TLOC keys: address (IPv4 before IPv6, IPv4 numerically, IPv6 bytewise),
// then colour, then encapsulation.
struct key_rec {
    avl_node_t node;
    tloc_key_t key;
};

int key_cmp(const void *a, const void *b)
{
    const tloc_key_t &x = static_cast<const key_rec *>(a)->key;
    const tloc_key_t &y = static_cast<const key_rec *>(b)->key;
    int rc = ip_addr_cmp(&x.addr, &y.addr);
    if (rc != 0) {
        return rc;
    }
    if (x.color != y.color) {
        return x.color < y.color ? -1 : 1;
    }
    return x.encap < y.encap ? -1 : (x.encap > y.encap ? 1 : 0);
}

tloc_key_t v4_key(const char *addr, uint8_t color, uint8_t encap)
{
    tloc_key_t k{};
    EXPECT_EQ(ip_addr_from_str(addr, &k.addr), 1);
    k.color = color;
    k.encap = encap;
    return k;
}

TEST(AvlTree, TlocKeys)
{
    std::vector<tloc_key_t> in = {
        v4_key("192.168.0.1", 1, 1), v4_key("::2", 1, 1),     v4_key("10.0.0.1", 4, 2),
        v4_key("10.0.0.1", 4, 1),    v4_key("10.0.0.1", 2, 2), v4_key("::1", 9, 9),
        v4_key("fe80::1", 1, 1),     v4_key("10.0.0.2", 0, 0), v4_key("9.255.255.255", 22, 2),
    };
    std::vector<key_rec> recs(in.size());
    avl_tree_t tree;
    avl_create(&tree, key_cmp, sizeof(key_rec), 0);
    for (size_t i = 0; i < in.size(); i++) {
        recs[i].key = in[i];
        avl_index_t where = 0;
        ASSERT_EQ(avl_find(&tree, &recs[i], &where), nullptr);
        avl_insert(&tree, &recs[i], where);
    }
    std::vector<std::string> got;
    char buf[128];
    for (auto *r = static_cast<key_rec *>(avl_first(&tree)); r != nullptr;
         r = static_cast<key_rec *>(avl_walk(&tree, r, AVL_AFTER))) {
        got.emplace_back(tloc_to_str(&r->key, buf, sizeof(buf)));
    }
    EXPECT_EQ(got, (std::vector<std::string>{
                       "9.255.255.255 : private6 : ipsec",
                       "10.0.0.1 : mpls : ipsec",
                       "10.0.0.1 : biz-internet : gre",
                       "10.0.0.1 : biz-internet : ipsec",
                       "10.0.0.2 : invalid : --",
                       "192.168.0.1 : default : gre",
                       "::1 : green : --",
                       "::2 : default : gre",
                       "fe80::1 : default : gre",
                   }));
    avl_destroy(&tree);
}

}  // namespace

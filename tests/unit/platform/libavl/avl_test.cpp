// The AVL interface against a std::set model: insertion points, order both
// ways, find-next, walks that remove as they go, and balance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "avl.h"

namespace {

using Keys = std::vector<uint32_t>;

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
    std::vector<std::unique_ptr<int_rec>> recs;
    int_tree() { avl_create(&tree, int_cmp, sizeof(int_rec), offsetof(int_rec, node)); }
    ~int_tree() { avl_destroy(&tree); }

    // Inserts key at the point avl_find gave, unless present; returns the
    // record in the tree.
    int_rec *add(uint32_t key)
    {
        int_rec probe{};
        probe.key = key;
        avl_index_t where = 12345;
        if (auto *found = static_cast<int_rec *>(avl_find(&tree, &probe, &where))) {
            EXPECT_EQ(where, 0u) << "a present key clears the insertion point";
            return found;
        }
        recs.push_back(std::make_unique<int_rec>());
        recs.back()->key = key;
        avl_insert(&tree, recs.back().get(), where);
        return recs.back().get();
    }
    int_rec *find(uint32_t key)
    {
        int_rec probe{};
        probe.key = key;
        return static_cast<int_rec *>(avl_find(&tree, &probe, nullptr));
    }
    int_rec *next_after(uint32_t key)
    {
        int_rec probe{};
        probe.key = key;
        return static_cast<int_rec *>(avl_find_next(&tree, &probe));
    }
    // The keys walking forward; backward gives the same keys reversed.
    Keys keys()
    {
        Keys fwd;
        int_rec *last = nullptr;
        for (auto *r = static_cast<int_rec *>(avl_first(&tree)); r != nullptr;
             r = static_cast<int_rec *>(avl_walk(&tree, r, AVL_AFTER))) {
            fwd.push_back(r->key);
            last = r;
        }
        Keys back;
        for (auto *r = last; r != nullptr; r = static_cast<int_rec *>(avl_walk(&tree, r, AVL_BEFORE))) {
            back.push_back(r->key);
        }
        std::reverse(back.begin(), back.end());
        EXPECT_EQ(back, fwd);
        EXPECT_EQ(avl_numnodes(&tree), fwd.size());
        return fwd;
    }
};

int height(const avl_node_t *n)
{
    return n == nullptr ? 0 : 1 + std::max(height(n->avl_left), height(n->avl_right));
}

int root_height(const avl_tree_t *tree)
{
    return height(reinterpret_cast<const avl_node_t *>(tree->avl_header.avl_pcb & ~uintptr_t{3}));
}

TEST(AvlTree, MatchesAnOrderedSetUnderRandomChanges)
{
    {
        int_tree empty;
        EXPECT_EQ(avl_first(&empty.tree), nullptr);
        EXPECT_EQ(empty.next_after(5), nullptr);
        EXPECT_EQ(empty.keys(), Keys{});
    }
    for (uint32_t seed = 1; seed <= 20; seed++) {
        std::mt19937 rng(seed);
        int_tree t;
        std::set<uint32_t> model;
        for (int step = 0; step < 2000; step++) {
            uint32_t k = static_cast<uint32_t>(rng() % 300);
            if (rng() % 3 == 0) {
                if (int_rec *r = t.find(k)) {
                    avl_remove(&t.tree, r);
                    avl_node_t zero{};
                    ASSERT_EQ(memcmp(&r->node, &zero, sizeof(zero)), 0) << "a removed node is zeroed";
                }
                model.erase(k);
            } else {
                ASSERT_EQ(t.add(k)->key, k);
                model.insert(k);
            }
            ASSERT_EQ(avl_numnodes(&t.tree), model.size());
            // The first record greater than a value, present or not.
            uint32_t probe = static_cast<uint32_t>(rng() % 310);
            auto it = model.upper_bound(probe);
            int_rec *next = t.next_after(probe);
            ASSERT_EQ(next == nullptr ? -1 : int64_t{next->key}, it == model.end() ? -1 : int64_t{*it});
        }
        ASSERT_EQ(t.keys(), Keys(model.begin(), model.end())) << "seed " << seed;
    }
}

TEST(AvlTree, WalksThatRemoveAsTheyGo)
{
    int_tree t;
    Keys even;
    for (uint32_t k = 0; k < 200; k++) {
        t.add(k);
        if (k % 2 == 0) {
            even.push_back(k);
        }
    }
    // Forward walk taking the successor before removing every odd key.
    for (auto *r = static_cast<int_rec *>(avl_first(&t.tree)); r != nullptr;) {
        auto *next = static_cast<int_rec *>(avl_walk(&t.tree, r, AVL_AFTER));
        if (r->key % 2 == 1) {
            avl_remove(&t.tree, r);
        }
        r = next;
    }
    EXPECT_EQ(t.keys(), even);

    // Finding the next key after removing the current one, as the show walks do.
    Keys seen;
    Keys rest;
    for (int_rec *r = t.find(0); r != nullptr; r = t.next_after(seen.back())) {
        seen.push_back(r->key);
        if (r->key % 4 == 0) {
            avl_remove(&t.tree, r);
        } else {
            rest.push_back(r->key);
        }
    }
    EXPECT_EQ(seen, even);
    EXPECT_EQ(t.keys(), rest);

    // A removed record goes back in at the point avl_find gives for it.
    int_rec *r = t.find(2);
    avl_remove(&t.tree, r);
    avl_index_t where = 0;
    EXPECT_EQ(avl_find(&t.tree, r, &where), nullptr);
    avl_insert(&t.tree, r, where);
    EXPECT_EQ(t.keys(), rest);

    while (auto *first = avl_first(&t.tree)) {
        avl_remove(&t.tree, first);
    }
    EXPECT_EQ(t.keys(), Keys{});
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
    EXPECT_LE(root_height(&t.tree), 21);
    for (uint32_t k = 0; k < n; k += 3) {
        avl_remove(&t.tree, t.find(k));
    }
    EXPECT_LE(root_height(&t.tree), 21);
}

}  // namespace

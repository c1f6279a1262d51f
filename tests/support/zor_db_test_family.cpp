#include "zor_db_test_family.h"

#include "maapi_cli.h"

namespace zt {

namespace {

TestFamilyLog g_log;

TestFamilyRecord *rec(const t_zor_db_entry *entry)
{
    return static_cast<TestFamilyRecord *>(entry->record);
}

int tf_cmp(const void *a, const void *b)
{
    uint32_t x = rec(static_cast<const t_zor_db_entry *>(a))->key;
    uint32_t y = rec(static_cast<const t_zor_db_entry *>(b))->key;
    return x < y ? -1 : (x > y ? 1 : 0);
}

bool tf_filter(zor_af_t af, const zor_msg_t *msg)
{
    g_log.last_af = af;
    return msg->body.data_device.status != g_log.reject_payload;
}

t_zor_db_entry *tf_find(zor_af_t af, t_zor_context *ctx, const zor_msg_t *msg, avl_index_t *where)
{
    g_log.last_af = af;
    if (ctx->trees[af] == nullptr) {
        return nullptr;
    }
    TestFamilyRecord probe{};
    probe.key = msg->body.data_device.addr.u.v4;
    t_zor_db_entry templ{};
    templ.record = &probe;
    return static_cast<t_zor_db_entry *>(avl_find(ctx->trees[af], &templ, where));
}

t_zor_db_entry *tf_add(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    avl_index_t where = 0;
    t_zor_db_entry *entry = tf_find(af, ctx, msg, &where);
    uint32_t payload = msg->body.data_device.status;
    if (entry != nullptr) {
        if (rec(entry)->payload == payload) {
            return entry;
        }
        rec(entry)->payload = payload;
        zor_db_entry_schedule(ctx, entry);
        return entry;
    }
    auto *r = static_cast<TestFamilyRecord *>(zor_mem_calloc(1, sizeof(TestFamilyRecord), ZOR_MEM_TRACKER));
    if (r == nullptr) {
        return nullptr;
    }
    r->key = msg->body.data_device.addr.u.v4;
    r->payload = payload;
    entry = zor_db_entry_alloc(af, client, r);
    if (entry == nullptr) {
        zor_mem_free(r, ZOR_MEM_TRACKER);
        return nullptr;
    }
    r->entry = entry;
    avl_insert(ctx->trees[af], entry, where);
    zor_db_entry_append(ctx, entry);
    zor_db_entry_schedule(ctx, entry);
    return entry;
}

void tf_withdraw(zor_af_t af, t_zor_context *ctx, t_zor_client *client, t_zor_db_entry *entry)
{
    g_log.last_af = af;
    if (entry->client_p != client) {
        return;
    }
    if (!(entry->flags & ZOR_ENTRY_WITHDRAWN)) {
        avl_remove(ctx->trees[af], entry);
    }
    zor_db_entry_withdrawn(ctx, entry);
}

void tf_delete(zor_af_t af, t_zor_context *ctx, t_zor_client *client, zor_msg_t *msg)
{
    t_zor_db_entry *entry = tf_find(af, ctx, msg, nullptr);
    if (entry != nullptr) {
        tf_withdraw(af, ctx, client, entry);
    }
}

int tf_tree_create(zor_af_t af, t_zor_context *ctx)
{
    g_log.events.push_back("tree_create " + std::to_string(af));
    if (af == g_log.fail_tree_create) {
        return 2;
    }
    avl_tree_t *tree = zor_mem_new<avl_tree_t>();
    if (tree == nullptr) {
        return 2;
    }
    avl_create(tree, tf_cmp, sizeof(t_zor_db_entry), 0);
    ctx->trees[af] = tree;
    return 0;
}

void tf_tree_destroy(zor_af_t af, t_zor_context *ctx)
{
    if (ctx->trees[af] == nullptr) {
        return;
    }
    g_log.events.push_back("tree_destroy " + std::to_string(af));
    avl_destroy(ctx->trees[af]);
    zor_mem_delete(ctx->trees[af]);
    ctx->trees[af] = nullptr;
}

void tf_record_free(zor_af_t af, t_zor_context * /*ctx*/, t_zor_db_entry *entry)
{
    g_log.last_af = af;
    g_log.events.push_back("free " + std::to_string(rec(entry)->key));
    g_log.records_freed++;
    zor_mem_free(entry->record, ZOR_MEM_TRACKER);
    entry->record = nullptr;
}

void tf_fill_msg(zor_af_t af, t_zor_db_entry *entry, zor_msg_t *msg, uint8_t is_delete)
{
    g_log.last_af = af;
    msg->body.data_device.addr = ip_addr_v4(rec(entry)->key);
    msg->body.data_device.status = is_delete ? 0 : rec(entry)->payload;
}

void tf_show(zor_af_t af, t_zor_context * /*ctx*/, t_zor_db_entry *entry, confd_user_info *uinfo)
{
    g_log.last_af = af;
    maapi_cli_printf(uinfo->msock, uinfo->usid, "    Key: %u, Payload: %u\n", rec(entry)->key, rec(entry)->payload);
}

void tf_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo)
{
    if (ctx->trees[af] == nullptr) {
        return;
    }
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(ctx->trees[af])); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(ctx->trees[af], e, AVL_AFTER))) {
        tf_show(af, ctx, e, uinfo);
    }
}

const zor_af_ops_t k_ops = {
    tf_filter, tf_add,         tf_withdraw, tf_delete, tf_find,    tf_tree_create,
    tf_tree_destroy, tf_record_free, tf_fill_msg, tf_show, tf_show_all,
};

}  // namespace

TestFamilyLog &test_family_log()
{
    return g_log;
}

const zor_af_ops_t *test_family_ops()
{
    return &k_ops;
}

zor_msg_t test_family_msg(zor_af_t af, uint32_t key, uint32_t payload, bool is_delete)
{
    zor_msg_t msg{};
    msg.type = af < ZOR_AF_COUNT ? zor_msg_type_for_af(af, is_delete ? 1 : 0) : 0;
    msg.family = af;
    msg.body.data_device.addr = ip_addr_v4(key);
    msg.body.data_device.status = payload;
    return msg;
}

t_zor_db_entry *test_family_add(t_zor_context *ctx, zor_af_t af, t_zor_client *client, uint32_t key, uint32_t payload)
{
    zor_msg_t msg = test_family_msg(af, key, payload);
    return zor_af_add(af, ctx, client, &msg);
}

TestFamilyRecord *test_family_record(const t_zor_db_entry *entry)
{
    return rec(entry);
}

}  // namespace zt

// Fuzz target: whatever peers send, in any order, with client walks and lost
// connections in between, reaches the daemon's receive path and families
// without stopping it, and teardown gives back every record.
//
// Each input runs on a fresh daemon (record, context, clients, families) in
// a temporary run directory. The input is a sequence of steps; each starts
// with an op byte (op % 5):
//   0 message: peer byte, type byte (% 22), family byte (% 12), 16-bit
//     little-endian length, then that many bytes copied into the body of a
//     zeroed record; the record is encoded as a peer would and handed to the
//     receive callback (a record the codec refuses is skipped);
//   1 raw: peer byte, length byte, that many bytes handed over as they are;
//   2 walk: one run of the distribution (every family, every client);
//   3 loss: peer byte; that client's connection is reported down;
//   4 settings: one byte; personality = byte % 7, pairwise keys = bit 3,
//     debug and announcement log = bit 4.
// The peer byte picks one of the daemon's peer modules (byte % their count).
// Any crash, assertion, sanitizer report or memory type left unbalanced
// after teardown aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "msgq_util.h"
#include "zor_client.h"
#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_mem.h"

namespace {

std::vector<uint32_t> g_peers;

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "zor_client_recv_fuzz: %s\n", what);
        abort();
    }
}

void setup_once()
{
    if (!g_peers.empty()) {
        return;
    }
    char dir[] = "/tmp/zor-client-fuzz.XXXXXX";
    check(mkdtemp(dir) != nullptr, "no run directory");
    setenv("ZOR_RUN_DIR", dir, 1);
    for (uint32_t id = 1; id < OST_MODULE_MAX; id++) {
        if (zor_client_is_peer(id)) {
            g_peers.push_back(id);
        }
    }
}

struct reader {
    const uint8_t *p;
    size_t left;
    bool take(uint8_t *b)
    {
        if (left == 0) {
            return false;
        }
        *b = *p++;
        left--;
        return true;
    }
};

// Hands bytes to the receive callback in a buffer of the client's handle,
// which the callback frees, as the message queue does.
void deliver(t_zor_client *client, const void *bytes, uint16_t len)
{
    void *buf = msgq_alloc_msg(client->handle, len);
    check(buf != nullptr, "no message buffer");
    memcpy(buf, bytes, len);
    zor_client_recv(client->handle, buf, len, client);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    setup_once();
    t_zor_daemon *daemon = nullptr;
    check(zor_daemon_alloc(&daemon) == 0, "no daemon record");
    check(zor_daemon_init(daemon) == 0, "daemon start-up failed");
    t_zor_context *ctx = g_zor_context;

    reader in{data, size};
    uint8_t op = 0;
    while (in.take(&op)) {
        uint8_t peer = 0;
        switch (op % 5) {
        case 0: {
            uint8_t type = 0, family = 0, lo = 0, hi = 0;
            if (!in.take(&peer) || !in.take(&type) || !in.take(&family) || !in.take(&lo) || !in.take(&hi)) {
                break;
            }
            zor_msg_t msg;
            memset(&msg, 0, sizeof(msg));
            msg.type = type % 22;
            msg.family = family % 12;
            size_t len = static_cast<size_t>(lo) | (static_cast<size_t>(hi) << 8);
            len = len < in.left ? len : in.left;
            len = len < sizeof(msg.body) ? len : sizeof(msg.body);
            memcpy(&msg.body, in.p, len);
            in.p += len;
            in.left -= len;
            t_zor_client *client = ctx->clients[g_peers[peer % g_peers.size()]];
            msg.sender = client->id;
            uint8_t buf[ZOR_MSG_ENCODE_MAX];
            uint16_t n = 0;
            if (zor_msg_encode(&msg, buf, &n) == 0) {
                deliver(client, buf, n);
            }
            break;
        }
        case 1: {
            uint8_t len = 0;
            if (!in.take(&peer) || !in.take(&len)) {
                break;
            }
            size_t n = len < in.left ? len : in.left;
            deliver(ctx->clients[g_peers[peer % g_peers.size()]], in.p, static_cast<uint16_t>(n));
            in.p += n;
            in.left -= n;
            break;
        }
        case 2:
            zor_dist_run(ctx);
            break;
        case 3:
            if (in.take(&peer)) {
                t_zor_client *client = ctx->clients[g_peers[peer % g_peers.size()]];
                zor_client_conn_down(client->handle, client, client->handle, client);
            }
            break;
        default: {
            uint8_t b = 0;
            if (in.take(&b)) {
                daemon->personality = b % 7;
                g_zor_pwk_enabled = (b >> 3) & 1;
                g_zor_debug = (b >> 4) & 1;
                g_zor_debug_announce = g_zor_debug;
            }
            break;
        }
        }
    }

    zor_daemon_free(daemon);
    g_zor_pwk_enabled = 0;
    g_zor_debug = 0;
    g_zor_debug_announce = 0;
    // Every record went back (libevent's own allocations are not counted
    // evenly: its reallocations pass uncounted).
    for (uint32_t type = ZOR_MEM_DAEMON; type < ZOR_MEM_MAX; type++) {
        const zor_mem_row_t *row = zor_mem_row(type);
        if (type != ZOR_MEM_EVENTS && row->n_alloc != row->n_free) {
            fprintf(stderr, "zor_client_recv_fuzz: %s: %llu left\n", row->descr,
                    static_cast<unsigned long long>(row->n_alloc - row->n_free));
            abort();
        }
    }
    return 0;
}

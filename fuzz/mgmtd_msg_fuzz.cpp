// The agent's connection input path: frame splitting, the handshake and
// the dispatch of every op, on an in-process agent whose connections have
// no socket.
//
// Input: four header bytes, one per connection 0-3: kind = value % 7 + 1;
// with bit 7 set the connection's bytes include its own handshake, else a
// HELLO of that kind (a worker naming connection 0 as its daemon) is sent
// first. Then records: u8 connection index (low 2 bits), u16 length (big
// endian), that many bytes fed to the connection. The event loop runs once
// after each record, so that posted steps and expired timeouts run too.
#include <event2/event.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "confd_wire.h"
#include "mgmtd_agent.h"
#include "ost_log.h"

namespace {

struct fixture {
    mgmtd::schema schema;
    std::string dir;
    bool ok = false;
    fixture()
    {
        char tmpl[] = "/tmp/mgmtd-fuzz.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            return;
        }
        dir = tmpl;
        std::string err;
        ok = schema.load(mgmtd::default_yang_dir(), &err);
        // MGMTD_FUZZ_LOG=1 shows the agent's log lines when replaying an input.
        ost_log_set_mirror(getenv("MGMTD_FUZZ_LOG") != nullptr);
    }
    ~fixture()
    {
        unlink((dir + "/running.json").c_str());
        rmdir(dir.c_str());
    }
};

std::string hello(int kind, int64_t daemon)
{
    mgmt_wire::writer w(MGMT_OP_HELLO, 1);
    w.i64(MGMT_PROTO_VERSION).i64(kind).str("fuzz").i64(daemon).bytes("").i64(1);
    return w.finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fixture fx;
    if (!fx.ok || size < 4) {
        return 0;
    }
    mgmtd::store store(fx.schema);
    std::string err;
    unlink((fx.dir + "/running.json").c_str());
    if (!store.load(fx.dir, &err)) {
        return 0;
    }
    store.set_sync(false);
    event_base *base = event_base_new();
    {
        mgmtd::options opt;
        opt.reply_timeout_ms = 1;
        mgmtd::agent agent(base, fx.schema, store, opt);
        std::string sinks[4];
        uint64_t ids[4];
        for (int i = 0; i < 4; i++) {
            ids[i] = agent.attach(&sinks[i]);
            if ((data[i] & 0x80) == 0) {
                std::string h = hello(data[i] % 7 + 1, static_cast<int64_t>(ids[0]));
                agent.feed(ids[i], h.data(), h.size());
            }
        }
        size_t pos = 4;
        while (pos + 3 <= size) {
            int which = data[pos] & 3;
            size_t len = (static_cast<size_t>(data[pos + 1]) << 8) | data[pos + 2];
            pos += 3;
            if (len > size - pos) {
                len = size - pos;
            }
            agent.feed(ids[which], data + pos, len);
            pos += len;
            event_base_loop(base, EVLOOP_NONBLOCK);
            for (std::string &s : sinks) {
                s.clear();
            }
        }
        usleep(2000);  // let the 1 ms timeouts expire once
        event_base_loop(base, EVLOOP_NONBLOCK);
        event_base_loop(base, EVLOOP_NONBLOCK);
        agent.shutdown();
    }
    event_base_free(base);
    return 0;
}

// What the integration module's tests share, the daemon's side: a daemon
// joined to the agent through the module on a loop of its own, config
// callbacks that record each call as one line, and the notifications of the
// test module as values.
#pragma once

#include "oconfd_harness.h"

namespace oct {

// The values of a notification of the test module: the element, its
// severity, seq and text, and its end.
struct Notification {
    confd_tag_value_t tv[5];
    explicit Notification(int severity, uint32_t seq, const char *text = "hello")
    {
        CONFD_SET_TAG_XMLBEGIN(&tv[0], k_tag_notif, k_test_ns);
        CONFD_SET_TAG_ENUM_VALUE(&tv[1], k_tag_severity, severity);
        CONFD_SET_TAG_UINT32(&tv[2], k_tag_seq, seq);
        CONFD_SET_TAG_STR(&tv[3], k_tag_text, text);
        CONFD_SET_TAG_XMLEND(&tv[4], k_tag_notif, k_test_ns);
    }
};

// Text of a value the way the tests compare them.
inline std::string value_text(const confd_value_t &v)
{
    char buf[256];
    if (confd_pp_value(buf, sizeof(buf), &v) < 0) {
        return "?";
    }
    return buf;
}

// What the test daemon's config callbacks saw, one line per call:
// "octest/item op=1 keys=[a] vals=[name=a,value=1]".
class Recorder {
public:
    void add(std::string line)
    {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard<std::mutex> lock(mu_);
        return lines_;
    }
    size_t count(const std::string &text) const
    {
        std::lock_guard<std::mutex> lock(mu_);
        size_t n = 0;
        for (const auto &l : lines_) {
            n += l.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    bool wait_for(const std::string &text, size_t n = 1) const
    {
        return wait_until([&] { return count(text) >= n; });
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.clear();
    }
    std::string dump() const
    {
        std::string out;
        for (const auto &l : lines()) {
            out += l + "\n";
        }
        return out;
    }

private:
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
};

inline Recorder g_recorder;

inline std::string tag_name(uint32_t tag)
{
    const char *name = confd_hash2str(tag);
    return name != nullptr ? name : std::to_string(tag);
}

inline std::string callback_line(struct oconfd_sub_entry *e, int op, int num_keys, confd_value_t *keys,
                                 int num_values, confd_tag_value_t *values)
{
    std::string line = std::string(e->path) + " op=" + std::to_string(op) + " keys=[";
    for (int i = 0; i < num_keys; ++i) {
        line += (i > 0 ? "," : "") + value_text(keys[i]);
    }
    line += "] vals=[";
    for (int i = 0; i < num_values; ++i) {
        const confd_value_t &v = values[i].v;
        line += i > 0 ? "," : "";
        if (v.type == C_XMLBEGIN || v.type == C_XMLBEGINDEL) {
            line += tag_name(values[i].tag.tag) + (v.type == C_XMLBEGIN ? "{" : "{-");
        } else if (v.type == C_XMLEND) {
            line += "}";
        } else if (v.type == C_NOEXISTS) {
            line += tag_name(values[i].tag.tag) + "=-";
        } else {
            line += tag_name(values[i].tag.tag) + "=" + value_text(v);
        }
    }
    return line + "]";
}

// Records the call and accepts it.
inline int record_cb(struct oconfd_sub_entry *e, int op, int num_keys, confd_value_t *keys, int num_values,
                     confd_tag_value_t *values)
{
    g_recorder.add(callback_line(e, op, num_keys, keys, num_values, values));
    return 0;
}

// Records the call and refuses the value "forbidden".
inline int guarded_cb(struct oconfd_sub_entry *e, int op, int num_keys, confd_value_t *keys, int num_values,
                      confd_tag_value_t *values)
{
    g_recorder.add(callback_line(e, op, num_keys, keys, num_values, values));
    for (int i = 0; i < num_values; ++i) {
        if (values[i].v.type == C_STR && value_text(values[i].v) == "forbidden") {
            return 1;
        }
    }
    return 0;
}

inline oconfd_sub_entry sub_entry(const char *path, oconfd_config_cb cb, uint8_t keys, uint8_t priorities,
                                  uint8_t flags = 0, uint32_t ns = k_test_ns)
{
    oconfd_sub_entry e{};
    snprintf(e.path, sizeof(e.path), "%s", path);
    e.callback = cb;
    e.ns = ns;
    e.num_keys = keys;
    e.priorities = priorities;
    e.flags = flags;
    return e;
}

inline int no_data_cbs(struct oconfd_ctx *)
{
    return 0;
}

// A daemon joined to the agent through the module, on a loop of its own.
class Daemon {
public:
    Daemon(Loop &loop, uint32_t module_id, std::vector<oconfd_sub_entry> entries, uint64_t ns_id = 0)
        : loop_(loop), table_(std::move(entries))
    {
        table_.push_back(oconfd_sub_entry{});
        md_.opaque = this;
        md_.sub_table = table_.data();
        md_.valpoint_table = valpoints_;
        md_.action_table = actions_;
        md_.register_data_cbs = no_data_cbs;
        md_.event_base = loop.base();
        md_.timer_mgr = loop.timers();
        md_.ns_id = ns_id;
        md_.module_id = module_id;
    }
    ~Daemon() { free(); }
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    int init()
    {
        return loop_.run([this] { return oconfd_module_init(&md_, nullptr, &ctx_); });
    }
    void free()
    {
        if (ctx_ != nullptr) {
            loop_.run([this] { oconfd_module_free(&ctx_); });
        }
    }
    oconfd_ctx *ctx() const { return ctx_; }
    int phase() const { return std::atomic_ref<int>(ctx_->phase).load(); }
    oconfd_sub_entry &entry(size_t i) { return table_[i]; }

private:
    Loop &loop_;
    std::vector<oconfd_sub_entry> table_;
    confd_valpoint_cb valpoints_[1] = {};
    confd_action_cbs actions_[1] = {};
    module_data md_{};
    oconfd_ctx *ctx_ = nullptr;
};

}  // namespace oct

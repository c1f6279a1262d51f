#include "ost_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

bool g_mirror = false;
ost_log_hook_fn g_hook = nullptr;
void *g_hook_arg = nullptr;
thread_local uint64_t g_peer = 0;

constexpr int64_t k_refill_ms = 1000;  // one more line per site and peer each second
constexpr size_t k_max_sites = 1024;   // sites remembered; idle ones are forgotten first

// One call site writing for one peer.
struct site_t {
    int64_t tokens_at_ms = 0;  // time at which tokens was last brought up to date
    int64_t tokens = OST_LOG_BURST;
    uint32_t held = 0;  // lines held back since the last one written
    int held_pri = 0;
    std::string held_line;  // the last of them
};

std::mutex g_lock;
bool g_limit = true;
std::unordered_map<uint64_t, site_t> g_sites;

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The site of a line: where its format text lies, and the "function[line]"
// the line begins with (formats shared by several functions take these as
// arguments), with the peer.
uint64_t site_key(const char *fmt, std::string_view line, uint64_t peer)
{
    size_t end = line.substr(0, 160).find("]: ");
    std::string_view head = end == std::string_view::npos ? std::string_view() : line.substr(0, end);
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](uint64_t v) {
        h ^= v;
        h *= 1099511628211ull;
    };
    mix(reinterpret_cast<uintptr_t>(fmt));
    mix(peer);
    for (char c : head) {
        mix(static_cast<unsigned char>(c));
    }
    return h;
}

void refill(site_t &site, int64_t now)
{
    int64_t gained = (now - site.tokens_at_ms) / k_refill_ms;
    if (gained > 0) {
        site.tokens = std::min<int64_t>(OST_LOG_BURST, site.tokens + gained);
        site.tokens_at_ms += gained * k_refill_ms;
    }
    if (site.tokens == OST_LOG_BURST) {
        site.tokens_at_ms = now;
    }
}

void emit(int pri, const char *line)
{
    syslog(pri, "%s", line);
    if (!g_mirror) {
        return;
    }
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm_utc{};
    gmtime_r(&ts.tv_sec, &tm_utc);
    char stamp[40];
    size_t n = strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &tm_utc);
    snprintf(stamp + n, sizeof(stamp) - n, ".%06ldZ", ts.tv_nsec / 1000);
    size_t len = strlen(line);
    // A trailing line feed in the format is kept in syslog but not doubled here.
    const char *end = len > 0 && line[len - 1] == '\n' ? "" : "\n";
    fprintf(stderr, "%s %s%s", stamp, line, end);
}

void emit_summary(site_t &site)
{
    char line[2200];
    snprintf(line, sizeof(line), "suppressed %u lines like: %s", site.held, site.held_line.c_str());
    emit(site.held_pri, line);
    site.held = 0;
    site.held_line.clear();
}

// Forgets the sites that have nothing held back and a full burst again.
void prune(int64_t now)
{
    for (auto it = g_sites.begin(); it != g_sites.end();) {
        refill(it->second, now);
        if (it->second.held == 0 && it->second.tokens == OST_LOG_BURST) {
            it = g_sites.erase(it);
        } else {
            ++it;
        }
    }
}

// Whether the line may be written now; false counts it as held back. Writes
// the summary of what the site held back before, when it lets a line through.
bool admit(int pri, const char *fmt, const char *line)
{
    int64_t now = now_ms();
    if (g_sites.size() >= k_max_sites) {
        prune(now);
    }
    if (g_sites.size() >= k_max_sites) {
        // Too many busy sites at once: they are all told and forgotten rather
        // than the table growing without bound.
        for (auto &entry : g_sites) {
            if (entry.second.held > 0) {
                emit_summary(entry.second);
            }
        }
        g_sites.clear();
    }
    auto [it, fresh] = g_sites.try_emplace(site_key(fmt, line, g_peer));
    site_t &site = it->second;
    if (fresh) {
        site.tokens_at_ms = now;
    }
    refill(site, now);
    if (site.tokens == 0) {
        site.held++;
        site.held_pri = pri;
        site.held_line = line;
        return false;
    }
    site.tokens--;
    if (site.held > 0) {
        emit_summary(site);
    }
    return true;
}

}  // namespace

void ost_log_open(const char *ident, int option, int facility, bool mirror_stderr)
{
    openlog(ident, option, facility);
    g_mirror = mirror_stderr;
}

void ost_log_close()
{
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (auto &entry : g_sites) {
            if (entry.second.held > 0) {
                emit_summary(entry.second);
            }
        }
        g_sites.clear();
    }
    closelog();
}

void ost_log_set_mirror(bool on)
{
    g_mirror = on;
}

bool ost_log_mirror()
{
    return g_mirror;
}

void ost_log_set_hook(ost_log_hook_fn fn, void *arg)
{
    g_hook = fn;
    g_hook_arg = arg;
}

uint64_t ost_log_set_peer(uint64_t peer)
{
    uint64_t prev = g_peer;
    g_peer = peer;
    return prev;
}

void ost_log_set_limit(bool on)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_limit = on;
}

void ost_log_flush_suppressed()
{
    std::lock_guard<std::mutex> lock(g_lock);
    int64_t now = now_ms();
    for (auto &entry : g_sites) {
        site_t &site = entry.second;
        if (site.held == 0) {
            continue;
        }
        refill(site, now);
        if (site.tokens > 0) {
            site.tokens--;
            emit_summary(site);
        }
    }
}

void ost_vlog(int pri, const char *fmt, va_list ap)
{
    // Long lines (dumps of attribute lists) are cut at the buffer size, as
    // syslog would cut them anyway.
    char line[2048];
    vsnprintf(line, sizeof(line), fmt, ap);
    if (g_hook != nullptr) {
        g_hook(pri, line, g_hook_arg);
    }
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_limit || admit(pri, fmt, line)) {
        emit(pri, line);
    }
}

void ost_log(int pri, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    ost_vlog(pri, fmt, ap);
    va_end(ap);
}

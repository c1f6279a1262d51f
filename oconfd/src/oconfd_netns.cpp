// Network-namespace switching. A daemon of a VPN runs in that VPN's
// namespace, where the agent's loopback address is not reachable: every
// agent connection is made from the default namespace, and the thread goes
// back into the VPN's namespace once its sockets exist (a socket keeps the
// namespace it was made in).
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "oconfd_internal.h"
#include "ost_rundir.h"

namespace {

// The namespace of process 1: the box's default one.
constexpr const char *k_default_netns = "/proc/1/ns/net";

bool enter_netns(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        OCONFD_LOG("Failed to open network namespace %s (%s)", path, strerror(errno));
        return false;
    }
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    if (!ok) {
        OCONFD_LOG("Failed to switch to network namespace %s (%s)", path, strerror(errno));
    }
    close(fd);
    return ok;
}

}  // namespace

bool oconfd_netns_enter_default(uint64_t ns_id)
{
    if (ns_id == 0) {
        return true;
    }
    return enter_netns(k_default_netns);
}

bool oconfd_netns_return(uint64_t ns_id)
{
    if (ns_id == 0) {
        return true;
    }
    char path[512];
    if (ost_run_path(path, sizeof(path), "netns/%lu", static_cast<unsigned long>(ns_id)) >=
        static_cast<int>(sizeof(path))) {
        OCONFD_LOG("Network namespace path of %lu too long", static_cast<unsigned long>(ns_id));
        return false;
    }
    return enter_netns(path);
}

#include "zorctl_help.h"

const char *zc_help_text()
{
    return R"(Usage: zorctl [--port N] [--json] [--timeout S] COMMAND...
       zorctl [--port N] [--json] [--timeout S]          (interactive shell)

The operator's command line of the management agent (mgmtd). A command runs
once and exits; without one, zorctl reads commands line by line (on a
terminal with line editing, history in ~/.zorctl_history and TAB completion).

Options:
  --port N      the agent's port on 127.0.0.1 (else MGMTD_PORT, else 4565)
  --json        show replies as the agent's RFC 7951 JSON, as it sends them
  --timeout S   seconds to wait for the agent, 1-86400 (default 60)
  --help        this text

Environment:
  MGMTD_PORT             the agent's port when --port is not given
  MGMTD_IPC_SECRET_FILE  a file holding the agent's IPC secret: zorctl proves
                         it in the handshake (HMAC-SHA256)

PATH names a node of the configuration or the operational data, with list
keys in braces, or as separate words (a list without braces takes its keys
from the words after it):
  system/personality    snmp/trap/group{g1}/enable{all}/level
  snmp trap group g1 enable all level

Configuration (each command commits at once):
  show running-config [PATH]   the configuration, as indented name-value lines
                               e.g. zorctl show running-config system
  set PATH VALUE...            set a leaf; a leaf-list takes several values
                               e.g. zorctl set system personality brink
                               e.g. zorctl set security pairwise-keys true
                               e.g. zorctl set snmp/trap/group{g1}/enable{all}/level critical major
  delete PATH                  delete a node and what is below it
                               e.g. zorctl delete snmp/trap/group{g1}
  create PATH                  create a list instance or a presence container
                               e.g. zorctl create snmp/trap/group{g1}/enable{bfd}

Operational data:
  show tlocs [IP] [--tenant N] the TLOCs (all, or those of one system IP): System IP, Colour, Encap
                               e.g. zorctl show tlocs 10.0.0.2
                               e.g. zorctl show tlocs --tenant 7
  show tloc IP COLOUR ENCAP paths [--tenant N]
                               the paths to a TLOC: Index, Preference, MTU, Best, Status, Stale
                               e.g. zorctl show tloc 10.0.0.2 biz-internet ipsec paths
  show tloc IP COLOUR ENCAP path N links [--tenant N]
                               the links of a path: Index, Local TLOC, Remote TLOC, Label
                               e.g. zorctl show tloc 10.0.0.2 biz-internet ipsec path 1 links
  show oper PATH               any operational data, as indented name-value lines
                               e.g. zorctl show oper debugs/zor

zord's commands and actions:
  show zor all|db|clients|groups|local-tlocs|msgq|memory|tracker|admin-tech [ARG...]
                               a dump of zord's tables, as zord prints it
                               e.g. zorctl show zor clients
  show support zor tlocs [ARG...]
                               zord's TLOC entries, all or one
                               e.g. zorctl show support zor tlocs --tlocip=10.0.0.2:biz-internet:ipsec
  show support zor links [ARG...]
                               zord's links
                               e.g. zorctl show support zor links
  debug zor events             switch zord's event debugging on
                               e.g. zorctl debug zor events
  no debug zor events          switch it off
                               e.g. zorctl no debug zor events

Any command point or action:
  command NAME [ARG...]        run a command point; its output streams as it comes
                               e.g. zorctl command zor_dump_tlocs --tlocip=10.0.0.2:blue:gre
  action NAME [LEAF=VALUE...]  run an action and show its results
                               e.g. zorctl action zor_debug_event

The agent:
  notifications [--stream NAME] [--follow]
                               the notifications kept by the agent, one JSON line each;
                               --follow waits for new ones until interrupted
                               e.g. zorctl notifications --stream snmp --follow
  agent phase N                move the agent on to start phase N (0, 1, 2)
                               e.g. zorctl agent phase 2
  agent status                 the agent's phase, daemons, sessions and locks
                               e.g. zorctl --json agent status

Exit status:
  0  success
  1  the agent, or a daemon behind it, refused the request (its reason on stderr)
  2  a bad command line, path or input (the reason or a usage line on stderr)
  3  the agent cannot be reached, broke the connection, or did not answer in time
A failure prints exactly one line on stderr, starting "zorctl: ". In the
interactive shell a failure is printed and the shell carries on; at the end
of its input the shell exits with the status of the last command.
)";
}

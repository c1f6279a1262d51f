#include "zor_peer_help.h"

const char *zp_help_text()
{
    return R"(Usage: zor-peer --module NAME|ID [--run-dir DIR] [--script FILE|-] [--idle MS]
                [--timeout S] [--target NAME|ID] [--timestamps] [--verbose]
       zor-peer --snapshot FAMILY... [--dot] [--module NAME|ID] [--run-dir DIR]
                [--timeout S] [--timestamps]

A peer daemon for zord, driven by a script. It connects to zord's socket as
module NAME|ID through the message queue (the socket "<run dir>/.<target
module name>", normally <run dir>/.zord), runs the script's lines in order,
prints every message it receives as one JSON object per line on standard
output, and exits once the script is done and nothing arrived for --idle ms.

With --snapshot it runs no script: it registers the families, prints every
entry zord holds in them (the latest version of each, family by family in
the order given, in key order) and a last line
  {"type":"SNAPSHOT_END","families":["TLOC-IPV4","LINK"],"entries":12}
and exits. The end is exact, not a guess from quiet time: zord never replies,
and its walk of a registration comes in slices, so right after the registers
the peer announces one entry of its own per family (a marker keyed by its
module id: TLOC 0.0.0.ID:default:gre, link 0.0.0.ID:default:gre ->
0.0.0.ID:default:ipsec, control device 0.0.0.ID, security entries of
0.0.0.ID in VPN 0, tracker "zor-peer.MODULE", 100::ID in the IPv6
families), and a family is complete when its marker comes back, since a
client's walk delivers a family's change list in order. The markers carry
no groups and no attributes, are left out of the output and withdrawn at
once; the other clients of those families see them come and go, the price
of an exact end (nothing a peer sends comes back to it alone). A
data-device family ends with the device zord derives from the TLOC marker.
--dot prints the overlay instead, as a Graphviz graph (render it with
dot -Tsvg): regions as clusters, border TLOCs with a double frame, links
labelled and coloured by status, the links of zord's paths thick and blue,
e.g. zor-peer --snapshot TLOC-IPV4 LINK --dot | dot -Tsvg > overlay.svg

Options
  --module NAME|ID   our module: a module name (advd, xfwd, ctlagent, klxd,
                     ctlagent_0, ...) or an id 1-228. zord serves advd (1),
                     xfwd (3), ctlagent (4), setkeeper (5), policyd (9),
                     probed (13), mcastd (16), klxd (24) and ctlagent_0-63
                     (35-98); it closes the connection of any other module.
  --run-dir DIR      run directory of zord (default: $ZOR_RUN_DIR, else /var/run)
  --script FILE|-    the script; "-" (the default) is standard input, read
                     line by line as it comes when it is a pipe or a terminal
  --idle MS          quiet time before exiting at the end (default 500)
  --timeout S        how long to wait for a connection, and for a snapshot
                     to end (default 5)
  --target NAME|ID   the server's module (default 2, zord)
  --timestamps       every output line begins with "time", its receive time
                     (UTC, microseconds: "2024-05-01T12:00:00.123456Z")
  --snapshot         the arguments are families (see FAMILY below) to dump;
                     the module defaults to ctlagent_63 (a connection takes
                     over the module's: pick one no daemon uses)
  --dot              with --snapshot: the overlay as a Graphviz graph
  --verbose          the transport's log lines on standard error
  --help             this text

Exit status: 0 done; 1 bad command line; 2 bad script line (the line number
and the reason are printed) or unreadable script; 3 no connection within
--timeout, or a send failed; 4 a wait-count line ran out of time, or a
snapshot did not end within --timeout; 5 the server closed two connections
in a row before sending anything: zord refuses modules it does not serve.

Script lines
  One command per line; words are separated by blanks; "#" at the start of a
  word begins a comment; double quotes keep blanks in a word (name="a b").
  Numbers are decimal, 0x hexadecimal or 0 octal.

  register FAMILY [announce=0|1] [originate=0|1]   (defaults 1 and 0)
  unregister FAMILY
  tloc-add TLOC [key=value...]          TLOC add (see the keys below)
  tloc-del TLOC [origin=...]            TLOC delete (the key)
  bfd TLOC state=up|down|no-path|N      TLOC BFD status (up 1, down 0, no-path 2)
  data-device-state IP state=active|inactive|N [family=...]   (active 1, inactive 2)
  link-add LOCAL-TLOC REMOTE-TLOC [key=value...]
  link-del LOCAL-TLOC REMOTE-TLOC [key=value...]
  link-status LOCAL-TLOC REMOTE-TLOC [key=value...]
  ctrl-device-add IP [type=PERSONALITY|N] [state=up|down|N] [staging=0|1]
                  [regions=a,b,...]     (defaults: type 0, state up 1, staging 0)
  ctrl-device-del IP [same keys]
  vpn-sec-add vpn=N ip=IP [origin=...] [attribute keys]
  vpn-sec-del vpn=N ip=IP [origin=...]
  peer-sec-add vpn=N origin-ip=IP dest-ip=IP [origin=...] [attribute keys]
  peer-sec-del vpn=N origin-ip=IP dest-ip=IP [origin=...]
  tracker-add name=TEXT attach=TEXT vpn=N [status=up|down|N] [word1=N] [word2=N]
              [opaque=HEX]              (status defaults to up 1; down is 0)
  tracker-del name=TEXT attach=TEXT vpn=N
  tracker-status name=TEXT attach=TEXT vpn=N status=up|down|N
  data-device-add IP [status=up|down|N] / data-device-del IP
                                        (zord only ever sends these; for tests)
  sleep MS                              pause; messages are still printed
  wait-idle MS                          until nothing arrived for MS ms
  wait-count N [MS]                     until N messages arrived since the
                                        start (at most MS ms, default --timeout;
                                        then exit status 4)
  disconnect                            close the connection (what was
                                        written is sent first)
  reconnect                             close and connect again; zord has
                                        then forgotten the registrations
  raw HEX                               the bytes as one message of the
                                        transport, bypassing the codec
  raw-stream HEX                        the bytes straight onto the socket,
                                        bypassing the transport's framing
  HEX is digit pairs; blanks, ':' and '-' between them are ignored.

  Every message line also takes family=NAME|N and sender=MODULE|ID, which
  replace the family and the sender module the line would use.

  FAMILY   TLOC-IPV4, TLOC-IPV6, CTRL-DEVICE-IPV4, CTRL-DEVICE-IPV6,
           DATA-DEVICE-IPV4, DATA-DEVICE-IPV6, VPN-SEC, PEER-SEC, LINK,
           TRACKER (any case), or a number.
  TLOC     ADDRESS:COLOUR:ENCAP, e.g. 10.1.1.1:biz-internet:ipsec or
           2001:db8::1:lte:gre. COLOUR is a colour name (default, mpls,
           metro-ethernet, biz-internet, public-internet, lte, 3g, red, green,
           blue, gold, silver, bronze, custom1-3, private1-6; met-eth, biz-int,
           pub-int) or a number; ENCAP is gre, ipsec or a number. An IPv6
           address makes the message a TLOC-IPV6 one, a device IPv6 address
           the IPv6 family of its kind.

tloc-add keys (each sets its presence bit)
  origin=local|remote|N   origin of the TLOC (default remote 2; local is 1)
  pref=N weight=N site=N region=N version=N gen-id=N carrier=N stale=N
  restrict=N on-demand=N border=N installed=N capability=N bandwidth=N
  groups=a,b,...          up to 9 group ids
  encap=gre key=N         tunnel encapsulation, keyed form
  encap=ipsec spi=N integrity=N cipher=N
  security=PART,PART,...  the pairwise-keys block; parts: spi:N flags:N sa:N
                          proto:A+B (up to 3) enc:A+B (up to 4) integrity:N
                          auth-keys:0-2 enc-keys:0-2 (keys are filled with
                          fixed non-zero bytes), e.g.
                          security=spi:4096,proto:0,enc:0+3,integrity:0,enc-keys:2
  public=ADDR:PORT private=ADDR:PORT   public and private address of the
                          TLOC ([IPV6]:PORT for IPv6)
  qos=NAME                QoS group name (up to 63 characters)
  lr=0|1 lr-hold=N        LR enabled and LR hold time (no presence bit)
  zord drops a TLOC add whose carrier is outside 1-9 or whose weight is above
  255, whatever the presence bits say; without carrier= the tool sends
  carrier 1 (the value only, the CARRIER bit stays clear).
  The attribute keys are the same for vpn-sec-add and peer-sec-add (without
  qos, lr and lr-hold).

link-add / link-del keys: origin=local|remote|N (default remote 2),
  bfd=up|down|N (the status field; default up 1), mtu, label, pref, stale,
  loss, latency, jitter, tun-rec, local-index, remote-index
link-status keys: bfd (default up 1), mtu, tun-rec, loss, latency, jitter

Output: one JSON object per received message, valid UTF-8: text that is
UTF-8 passes through, and a byte that is not part of a UTF-8 sequence comes
out as \udcXX (XX the byte; a lone surrogate, which no text can produce).
Every object has "type" (the message type: "TLOC_ADD", "TLOC_DEL",
"LINK_ADD", "DATA_DEVICE_ADD", ...), "type_id", "family" (the family name)
and "sender" (module id). Every code is followed by its name under the same
key with "_name" ("status":1,"status_name":"up"; names from the module
table, libzor's origin, TLOC status and BFD state names, and for the
attributes the cipher, protocol, encryption and integrity tables). Then:
  TLOC_ADD, TLOC_DEL   "tloc" ("10.1.1.1:biz-internet:ipsec"), "origin"
                       (1 local, 2 remote), "status" (1 up, 2 down, 3
                       no-path), "inactive", "index", "lr_enabled",
                       "lr_hold_time", "paths" (a list of {"local",
                       "local_tloc", "border", "border_tloc", "mtu",
                       "labels"}: the TLOC indices of the path's ends and
                       their keys, null for an index of a TLOC this peer has
                       not been sent), "attr", "bandwidth", "qos"
  "attr"               the attributes whose presence bit is set, under the
                       script's key names ("groups" a list, "security" an
                       object with the keys as hex; "public6"/"private6" for
                       IPv6 addresses)
  LINK_ADD, LINK_DEL   "local", "remote", "local_index", "remote_index",
                       "origin", "status" (1 up, 2 down), "mtu", "label",
                       "preference", "stale", "loss", "latency", "jitter",
                       "tun_rec"
  LINK_STATUS          "local", "remote", "status" (BFD state: 0 down, 1 up,
                       2 no-path), "mtu", "loss", "latency", "jitter",
                       "tun_rec"
  TLOC_BFD_STATUS      "tloc", "status" (BFD state)
  CTRL_DEVICE_*        "ip", "device_type" (personality), "state" (0 down,
                       1 up), "staging", "regions"
  DATA_DEVICE_ADD/DEL  "ip", "status" (1 up, 2 down)
  DATA_DEVICE_STATE    "ip", "state" (1 active, 2 inactive)
  VPN_SEC_*            "vpn", "ip", "origin", "attr"
  PEER_SEC_*           "vpn", "origin_ip", "dest_ip", "origin", "attr"
  TRACKER_*            "name", "attach", "vpn", "status" (0 down, 1 up),
                       "word1", "word2", "opaque" (hex, trailing zero bytes
                       dropped)
  REGISTER             "announce", "originate"
Diagnostics go to standard error.

Example
  zor-peer --module advd --run-dir /tmp/zord-run --script - <<'EOF'
  register TLOC-IPV4
  tloc-add 10.0.0.2:biz-internet:ipsec pref=100 site=200 groups=1
  wait-idle 1000
  EOF
)";
}

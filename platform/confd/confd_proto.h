// The wire protocol between the client library, the agent (mgmtd) and the
// CLI (zorctl). One TCP connection per socket role, on 127.0.0.1 and the
// agent's port (4565, or MGMTD_PORT).
//
// Frames
//   u32 length (big endian) of what follows, 5 .. MGMT_WIRE_MAX_FRAME
//   u8  op       (mgmt_op below)
//   u32 xid      (big endian) request id: a reply carries its request's xid
//   items...     the op's fields, in the order given below (confd_wire.h)
//
// Handshake (every connection)
//   agent -> peer  CHALLENGE  [bytes nonce (32)]
//   peer -> agent  HELLO      [i64 version MGMT_PROTO_VERSION, i64 kind (mgmt_conn_kind),
//                              str name, i64 daemon id (WORKER: the id its CONTROL
//                              connection got; else 0), bytes proof, i64 pid]
//   agent -> peer  REPLY      [i64 connection id, i64 start phase]   or ERROR, then close.
//   proof: empty when the peer has no secret; else HMAC-SHA256(secret, nonce), the
//   secret being the content of the file named by MGMTD_IPC_SECRET_FILE (the agent:
//   --ipc-secret FILE). An agent with a secret refuses a wrong or missing proof with
//   ERROR CONFD_ERR_ACCESS_DENIED.
//   The connection id of a CONTROL connection is the daemon id; of a CLI
//   connection, the operator's user session id (usid).
//
// Replies
//   REPLY [fields of the op]                  success
//   ERROR [i64 confd_errcode, str text]       failure; text is what confd_lasterr() shows
//
// Who may send what, per connection kind. "->" is a request that gets one
// REPLY or ERROR with the same xid; "=>" is one-way. A peer never has two
// requests outstanding on one connection. On CONTROL, WORKER, SUBSCRIPTION
// and NOTIFICATION connections the agent sends its own requests and pushes
// (xids chosen by the agent); the library sends requests on CONTROL only
// before REG_DONE, and on SUBSCRIPTION only before SUB_DONE or while it
// handles a notification (the agent pushes nothing meanwhile), so a library
// call waiting for a reply never meets a push.
//
//   CONTROL (peer -> agent, before REG_DONE)
//     REG_TRANS     -> []                       REG_VALIDATE -> []
//     REG_VALPOINT  [str valpoint] -> []
//     REG_DATA_CB   [str callpoint, i64 mask of MGMT_DATA_* callbacks present] -> []
//     REG_ACTION    [str actionpoint, i64 mask of MGMT_ACTION_* callbacks present] -> []
//     REG_STREAM    [str stream] -> []          (a stream is shared: every daemon of the box
//                                               registers "ostrana" and sends on it, so a
//                                               stream is never refused as taken)
//     REG_SNMP      [str notify name, str context name] -> []
//     REG_DONE      -> []      (the agent serves the registrations from now on; a
//                               point registered by another live daemon: ERROR)
//   CONTROL (agent -> library)
//     TRANS_INIT    [i64 th, i64 usid, str user, str context] -> [i64 worker connection id]
//     ACTION_INIT   [i64 usid, str user, str context, str actionpoint] -> [i64 worker connection id]
//   WORKER (agent -> library)
//     TRANS_FINISH          [i64 th] -> []
//     DATA_GET_OBJECT       [i64 th, str callpoint, keypath] -> data reply
//     DATA_GET_NEXT_OBJECT  [i64 th, str callpoint, keypath, i64 next] -> data reply
//     DATA_FIND_NEXT_OBJECT [i64 th, str callpoint, keypath, i64 type, list<value> keys] -> data reply
//     DATA_GET_ELEM         [i64 th, str callpoint, keypath] -> data reply
//     DATA_GET_NEXT         [i64 th, str callpoint, keypath, i64 next] -> data reply
//     VALIDATE              [i64 th, str valpoint, keypath, value new] -> []
//     ACTION_COMMAND        [i64 usid, str actionpoint, str path, list<str> argv] -> []
//     ACTION_RUN            [i64 usid, str actionpoint, i64 name tag, i64 name ns, keypath,
//                            list<tag-value> params] -> [list<tag-value> results]
//     A data reply is REPLY [i64 mgmt_data_reply kind, ...]:
//       NOT_FOUND    []
//       VALUE        [value]
//       TV_ARRAY     [i64 n, list<tag-value>]            (n = -1: none)
//       NEXT_OBJECT  [i64 n, i64 next, list<tag-value>]   (n = -1: end of list)
//       NEXT_OBJECTS [i64 timeout ms, list<[i64 n, i64 next, list<tag-value>]>]
//       NEXT_KEYS    [i64 next, list<value> keys]         (get_next; next -1 with no keys: end)
//   WORKER (library => agent, any time, any thread; frames never interleave)
//     NOTIF_SEND    [str stream, value datetime, list<tag-value>]
//     SNMP_SEND     [str notify name, str notification, list<[str name, value]>]
//
//   CDB_DATA (peer -> agent)
//     CDB_START_SESSION [i64 cdb_db_type, i64 CDB_LOCK_* flags] -> []  (waits while locked with LOCK_WAIT)
//     CDB_END_SESSION   -> []
//     CDB_GET           [str path] -> [value]
//     CDB_EXISTS        [str path] -> [i64 0|1]
//     CDB_NUM_INSTANCES [str path] -> [i64]
//     CDB_SET_ELEM      [str path, value] -> []
//     CDB_SET_ELEM_STR  [str path, str text] -> []
//     CDB_CREATE        [str path] -> []
//     CDB_DELETE        [str path] -> []
//     CDB_TRIGGER       [i64 oper (0 config, 1 operational), i64 flags, list<i64> points] -> []
//                        (the reply comes when every notified subscriber synchronised)
//   SUBSCRIPTION
//     SUB_SUBSCRIBE [i64 cdb_sub_type, i64 flags, i64 priority, i64 ns, str path] -> [i64 point]
//     SUB_DONE      -> []
//     SUB_NOTIFY    agent => library [i64 cdb_sub_notification, i64 flags, list<i64> points]
//     SUB_SYNC      [i64 sync type] -> []          (ends the notification)
//     SUB_ABORT     [i64 code, str text] -> []     (ends a prepare notification with a refusal)
//     SUB_GET_MODS  [i64 point, i64 flags, str path or ""] -> [list<tag-value>]
//     SUB_DIFF      [i64 point, i64 flags] -> [list<diff node>]
//       diff node: list [keypath, i64 cdb_iter_op, value old or nil, value new or nil,
//                        list<tag-value> modifications below it, list<diff node> children]
//
//   MAAPI (peer -> agent)
//     MAAPI_WAIT_START  [i64 phase] -> []     (the reply comes when the phase is reached)
//     MAAPI_START_PHASE [i64 phase, i64 synchronous] -> []
//     MAAPI_ATTACH      [i64 ns, i64 usid, i64 th] -> []
//     MAAPI_DETACH      [i64 th] -> []
//     MAAPI_CLI_WRITE   [i64 usid, bytes text] -> []       (ERROR NOSESSION when gone)
//     SCHEMA_GET        [list<i64> namespaces, empty: all] -> [list<namespace>, list<node>]
//       namespace: list [i64 hash, str uri, str prefix, str module, str revision]
//       node: list [i64 tag, i64 ns, i64 parent index or -1, i64 flags (CS_NODE_* kind |
//                   CS_NODE_CONFIG_FALSE | CS_NODE_PRESENCE), i64 confd_vtype (leaves) or 0,
//                   str name, str callpoint or "", list<i64> key tags,
//                   list<[str label, i64 value]> enum values or bit positions,
//                   str type name, i64 min elements, i64 max elements or -1]
//       nodes are listed parents before children, in schema order.
//
//   NOTIFICATION (peer -> agent)
//     NOTIF_SUBSCRIBE [i64 mask of confd_notification_type] -> []
//     NOTIF_EVENT     agent => peer [i64 confd_notification_type, ...]
//                      COMMIT_SIMPLE: [i64 db, i64 usid, str user]
//                      STREAM_EVENT:  [str stream, value datetime, list<tag-value>]
//
//   CLI (zorctl -> agent; JSON is RFC 7951 as libyang prints it)
//     CLI_GET_CONFIG [str path or ""] -> [str json]
//     CLI_COMMIT     [list<[i64 mgmt_edit_op, str path, str value or ""]>] -> []
//                     (validated as a whole, then subscribers; ERROR with the reason)
//     CLI_GET_OPER   [str path, i64 flags] -> [str json]
//     CLI_COMMAND    [str actionpoint, list<str> argv] -> []   (CLI_OUTPUT pushes before the reply;
//                     argv[0] is the command's name, as a command callback expects it)
//     CLI_ACTION     [str actionpoint, list<[str name, str value]>] -> [str json results]
//     CLI_NOTIFS     [str stream or "", i64 follow] -> []      (CLI_NOTIF pushes: replay, then live
//                     ones while following; without follow the reply ends the replay)
//     CLI_PHASE      [i64 phase] -> []
//     CLI_STATUS     -> [str json]
//     CLI_MODULES    -> [list<[str module name, str YANG text]>]  (the schema the agent runs with,
//                     so that the CLI parses, prints and completes with the same modules)
//     CLI_OUTPUT     agent => zorctl [bytes text]        (xid of the command being run)
//     CLI_NOTIF      agent => zorctl [str json line]     (xid of the CLI_NOTIFS request)
//
// Where the above is silent, the agent (mgmtd) does this:
//   - The secret is the whole content of the file, byte for byte (a final
//     line feed included); an empty file is refused at start.
//   - usid is the CLI connection's id, user its HELLO name; TRANS_INIT and
//     ACTION_INIT carry context "cli". ACTION_COMMAND's path is the
//     actionpoint's name.
//   - Tag-values and keypath tags from the agent carry the node's namespace
//     number, never 0. SCHEMA_GET lists inet:ip-address leaves as C_IPV4
//     (their values travel as C_IPV4 or C_IPV6).
//   - CDB: sessions are refused with CONFD_ERR_UNAVAILABLE in start phase
//     0. A read takes config false nodes from the operational store and
//     configuration from running (CDB_PRE_COMMIT_RUNNING: the configuration
//     being committed, while a commit is under way). A lock keeps out the
//     other sessions that ask for it (LOCK_REQUEST or LOCK_SESSION); plain
//     sessions read and write regardless. A LOCK_WAIT start still waiting
//     after the agent's reply timeout fails with CONFD_ERR_LOCKED.
//   - MAAPI_WAIT_START is held until the phase is reached or the connection
//     closes, without a timeout.
//   - Subscriptions: SUB_GET_MODS includes list instances whatever its
//     flags; a subscriber that does not answer a SUB_NOTIFY within the
//     reply timeout has its subscription socket closed. CDB_TRIGGER with
//     no points notifies the subscription sockets whose HELLO pid is the
//     caller's.
//   - CLI_GET_OPER: a list whose callpoint no daemon registered is empty; a
//     daemon that does not answer in time gives CONFD_ERR_TIMEOUT, one that
//     goes or fails CONFD_ERR_EXTERNAL. A named instance that the daemon
//     does not have gives CONFD_ERR_NOEXISTS ("no such instance: PATH"). A
//     list step with fewer keys than the list has ("/tlocs/tloc{10.0.0.2}")
//     lists the instances that begin with them: DATA_FIND_NEXT_OBJECT with
//     type 1 and those keys, then type 0 after each object, up to the first
//     that begins otherwise.
//   - Validation points are registered (REG_VALPOINT) but not called: no
//     data model names one yet, and VALIDATE is not sent.
#pragma once

#include <stdint.h>

#define MGMT_PROTO_VERSION 1
// A whole operational tree is one CLI reply: zord's table of 10,000 TLOCs
// with 4 paths of 3 links each is some 60 MiB of JSON.
#define MGMT_WIRE_MAX_FRAME (256u << 20)
// What the agent takes from its peers: requests and daemons' replies are
// small, and a local process must not make the agent hold 256 MiB per
// connection.
#define MGMT_WIRE_MAX_REQUEST (16u << 20)
#define MGMT_WIRE_MAX_DEPTH 40
#define MGMT_NONCE_LEN 32
// Environment of every program that talks to the agent.
#define MGMT_ENV_PORT "MGMTD_PORT"
#define MGMT_ENV_SECRET_FILE "MGMTD_IPC_SECRET_FILE"

enum mgmt_conn_kind : uint8_t {
    MGMT_CONN_CONTROL = 1,
    MGMT_CONN_WORKER = 2,
    MGMT_CONN_CDB_DATA = 3,
    MGMT_CONN_SUBSCRIPTION = 4,
    MGMT_CONN_MAAPI = 5,
    MGMT_CONN_NOTIFICATION = 6,
    MGMT_CONN_CLI = 7,
};

enum mgmt_op : uint8_t {
    MGMT_OP_REPLY = 0x01,
    MGMT_OP_ERROR = 0x02,
    MGMT_OP_CHALLENGE = 0x03,
    MGMT_OP_HELLO = 0x04,

    MGMT_OP_REG_TRANS = 0x10,
    MGMT_OP_REG_VALIDATE = 0x11,
    MGMT_OP_REG_VALPOINT = 0x12,
    MGMT_OP_REG_DATA_CB = 0x13,
    MGMT_OP_REG_ACTION = 0x14,
    MGMT_OP_REG_STREAM = 0x15,
    MGMT_OP_REG_SNMP = 0x16,
    MGMT_OP_REG_DONE = 0x17,

    MGMT_OP_TRANS_INIT = 0x20,
    MGMT_OP_ACTION_INIT = 0x21,
    MGMT_OP_TRANS_FINISH = 0x22,
    MGMT_OP_DATA_GET_OBJECT = 0x23,
    MGMT_OP_DATA_GET_NEXT_OBJECT = 0x24,
    MGMT_OP_DATA_FIND_NEXT_OBJECT = 0x25,
    MGMT_OP_DATA_GET_ELEM = 0x26,
    MGMT_OP_DATA_GET_NEXT = 0x27,
    MGMT_OP_VALIDATE = 0x28,
    MGMT_OP_ACTION_COMMAND = 0x29,
    MGMT_OP_ACTION_RUN = 0x2a,

    MGMT_OP_NOTIF_SEND = 0x30,
    MGMT_OP_SNMP_SEND = 0x31,

    MGMT_OP_CDB_START_SESSION = 0x40,
    MGMT_OP_CDB_END_SESSION = 0x41,
    MGMT_OP_CDB_GET = 0x42,
    MGMT_OP_CDB_EXISTS = 0x43,
    MGMT_OP_CDB_NUM_INSTANCES = 0x44,
    MGMT_OP_CDB_SET_ELEM = 0x45,
    MGMT_OP_CDB_SET_ELEM_STR = 0x46,
    MGMT_OP_CDB_CREATE = 0x47,
    MGMT_OP_CDB_DELETE = 0x48,
    MGMT_OP_CDB_TRIGGER = 0x49,

    MGMT_OP_SUB_SUBSCRIBE = 0x50,
    MGMT_OP_SUB_DONE = 0x51,
    MGMT_OP_SUB_NOTIFY = 0x52,
    MGMT_OP_SUB_SYNC = 0x53,
    MGMT_OP_SUB_ABORT = 0x54,
    MGMT_OP_SUB_GET_MODS = 0x55,
    MGMT_OP_SUB_DIFF = 0x56,

    MGMT_OP_MAAPI_WAIT_START = 0x60,
    MGMT_OP_MAAPI_START_PHASE = 0x61,
    MGMT_OP_MAAPI_ATTACH = 0x62,
    MGMT_OP_MAAPI_DETACH = 0x63,
    MGMT_OP_MAAPI_CLI_WRITE = 0x64,
    MGMT_OP_SCHEMA_GET = 0x65,

    MGMT_OP_NOTIF_SUBSCRIBE = 0x70,
    MGMT_OP_NOTIF_EVENT = 0x71,

    MGMT_OP_CLI_GET_CONFIG = 0x80,
    MGMT_OP_CLI_COMMIT = 0x81,
    MGMT_OP_CLI_GET_OPER = 0x82,
    MGMT_OP_CLI_COMMAND = 0x83,
    MGMT_OP_CLI_ACTION = 0x84,
    MGMT_OP_CLI_NOTIFS = 0x85,
    MGMT_OP_CLI_PHASE = 0x86,
    MGMT_OP_CLI_STATUS = 0x87,
    MGMT_OP_CLI_OUTPUT = 0x88,
    MGMT_OP_CLI_NOTIF = 0x89,
    MGMT_OP_CLI_MODULES = 0x8a,
};

// Callbacks a data callpoint offers (REG_DATA_CB mask).
enum : uint32_t {
    MGMT_DATA_GET_ELEM = 1u << 0,
    MGMT_DATA_GET_NEXT = 1u << 1,
    MGMT_DATA_NUM_INSTANCES = 1u << 2,
    MGMT_DATA_GET_OBJECT = 1u << 3,
    MGMT_DATA_GET_NEXT_OBJECT = 1u << 4,
    MGMT_DATA_FIND_NEXT_OBJECT = 1u << 5,
};
// Callbacks an action point offers (REG_ACTION mask).
enum : uint32_t {
    MGMT_ACTION_ACTION = 1u << 0,
    MGMT_ACTION_COMMAND = 1u << 1,
};

enum mgmt_data_reply : uint8_t {
    MGMT_DATA_NOT_FOUND = 0,
    MGMT_DATA_VALUE = 1,
    MGMT_DATA_TV_ARRAY = 2,
    MGMT_DATA_NEXT_OBJECT = 3,
    MGMT_DATA_NEXT_OBJECTS = 4,
    MGMT_DATA_NEXT_KEYS = 5,
};

enum mgmt_edit_op : uint8_t {
    MGMT_EDIT_SET = 1,     // leaf value (creating the parents as needed)
    MGMT_EDIT_DELETE = 2,  // any node with what is below it
    MGMT_EDIT_CREATE = 3,  // list instance or presence container
};

// CLI_GET_OPER flags.
enum : uint32_t {
    MGMT_OPER_DEPTH_ONE = 1u << 0,  // the node and its leaves; nested lists left out
};

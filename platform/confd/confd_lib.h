// The management agent's client library: values, keypaths, the daemon
// handle and its callbacks, data replies, schema lookups and errors.
//
// A daemon joins the agent (mgmtd) over TCP on 127.0.0.1, port 4565 unless
// the environment variable MGMTD_PORT names another. It opens one socket per
// role (control, worker, CDB data and subscription, MAAPI, notifications),
// registers its callbacks on the control socket, then hands every readable
// control or worker socket to confd_fd_ready() from its own event loop.
// Callbacks run inside confd_fd_ready(), on the caller's thread.
//
// CDB calls are in confd_cdb.h, MAAPI calls in confd_maapi.h. The wire
// protocol behind all of them is in confd_proto.h.
//
// Results: CONFD_OK (0) or CONFD_ERR (-1) unless said otherwise; CONFD_EOF
// (-2) when the agent closed the socket. After a failure confd_errno holds
// the reason and confd_lasterr() the agent's text. Both are per thread.
//
// Memory: values that a call hands back with C_STR, C_BUF or C_LIST payloads
// own their memory; release them with confd_free_value(). Values passed in
// are copied before the call returns.
#pragma once

#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CONFD_PORT 4565
#define CONFD_LIB_API_VSN 0x07050000
// The largest keypath the library hands to callbacks: elements deep, keys
// per list instance. confd_init_vsn_sz() may ask for less, never for more.
#define MAXDEPTH 32
#define MAXKEYLEN 9

#define CONFD_OK 0
#define CONFD_ERR (-1)
#define CONFD_EOF (-2)
#define CONFD_DELAYED_RESPONSE 2

// ---------------------------------------------------------------- errors

enum confd_errcode {
    CONFD_ERR_NOEXISTS = 1,        // no such element
    CONFD_ERR_ALREADY_EXISTS = 2,  // create of an element that exists
    CONFD_ERR_ACCESS_DENIED = 3,   // IPC secret refused, or not allowed
    CONFD_ERR_NOT_WRITABLE = 4,    // config false in a running session, or the reverse
    CONFD_ERR_BADTYPE = 5,         // value of the wrong type for the leaf
    CONFD_ERR_BADPATH = 8,         // path does not name a schema node
    CONFD_ERR_LOCKED = 10,         // the database is locked by another session
    CONFD_ERR_BADSTATE = 17,       // call out of order (no session, not subscribed, ...)
    CONFD_ERR_INTERNAL = 18,
    CONFD_ERR_EXTERNAL = 19,       // a callback of another daemon failed
    CONFD_ERR_MALLOC = 20,
    CONFD_ERR_PROTOUSAGE = 21,     // the library was used against its contract
    CONFD_ERR_NOSESSION = 22,      // the user session (CLI) is gone
    CONFD_ERR_OS = 24,             // a system call failed; errno tells which
    CONFD_ERR_LIB_NOT_INITIALIZED = 26,
    CONFD_ERR_INCONSISTENT_VALUE = 31,  // the new configuration does not validate
    CONFD_ERR_UNAVAILABLE = 35,    // not in this start phase, or no daemon serves it
    CONFD_ERR_EOF = 36,            // the agent closed the connection
    CONFD_ERR_TIMEOUT = 38,        // a daemon did not answer in time
    CONFD_ERR_ABORTED = 39,        // a subscriber aborted the transaction
};

// Per-thread error state of the last failed call.
extern __thread int confd_errno;
const char *confd_lasterr(void);
const char *confd_strerror(int code);

// ---------------------------------------------------------------- values

enum confd_vtype {
    C_NOEXISTS = 1,   // the element does not exist (a deleted leaf)
    C_XMLTAG = 2,     // an element name: val.xmltag
    C_SYMBOL = 3,
    C_STR = 4,        // NUL-terminated text: val.buf, size excludes the NUL
    C_BUF = 5,        // bytes: val.buf
    C_INT8 = 6,
    C_INT16 = 7,
    C_INT32 = 8,
    C_INT64 = 9,
    C_UINT8 = 10,
    C_UINT16 = 11,
    C_UINT32 = 12,
    C_UINT64 = 13,
    C_DOUBLE = 14,
    C_IPV4 = 15,      // val.ip, network byte order
    C_IPV6 = 16,      // val.ip6
    C_BOOL = 17,      // val.boolean, 0 or 1
    C_DATETIME = 19,  // val.datetime
    C_ENUM_VALUE = 28,  // val.enumvalue: the YANG enum's value
    C_BIT32 = 29,     // val.b32: bit n is the YANG bit at position n
    C_BIT64 = 30,
    C_LIST = 31,      // val.list: a leaf-list's values
    C_XMLBEGIN = 32,  // start of a container or list instance: val.xmltag
    C_XMLEND = 33,    // its end: val.xmltag
    C_XMLBEGINDEL = 34,  // start of a deleted list instance: val.xmltag
    C_EMPTY = 35,     // a leaf of type empty that exists
};

struct xml_tag {
    uint32_t tag;
    uint32_t ns;
};

struct confd_buf {
    unsigned int size;
    unsigned char *ptr;
};

struct confd_datetime {
    int16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t min;
    uint8_t sec;
    uint32_t micro;
    int8_t timezone;          // hours from UTC
    int8_t timezone_minutes;
};

struct confd_value;
struct confd_list {
    unsigned int size;
    struct confd_value *ptr;
};

typedef struct confd_value {
    enum confd_vtype type;
    union {
        struct xml_tag xmltag;
        uint32_t symbol;
        struct confd_buf buf;
        int8_t i8;
        int16_t i16;
        int32_t i32;
        int64_t i64;
        uint8_t u8;
        uint16_t u16;
        uint32_t u32;
        uint64_t u64;
        double d;
        struct in_addr ip;
        struct in6_addr ip6;
        int boolean;
        struct confd_datetime datetime;
        int32_t enumvalue;
        uint32_t b32;
        uint64_t b64;
        struct confd_list list;
    } val;
} confd_value_t;

// One leaf (or marker) of a reply, notification or modification list: the
// element's tag and namespace (0: the namespace of the enclosing element)
// and its value.
typedef struct confd_tag_value {
    struct xml_tag tag;
    confd_value_t v;
} confd_tag_value_t;

// A keypath, innermost element first: v[0] is the node itself, v[len-1] the
// top-level element. An element is v[i][0] of type C_XMLTAG; the keys of a
// list instance follow their list element as the entry before it, v[i][0..n]
// ended by a C_NOEXISTS value. So /system/personality is
//   len 2: v[1][0] = xmltag system, v[0][0] = xmltag personality
// and /tlocs/tloc{10.0.0.1 blue ipsec}/path{2} is
//   len 5: tlocs, tloc, {10.0.0.1 blue ipsec}, path, {2}.
typedef struct confd_hkeypath {
    int len;
    confd_value_t v[MAXDEPTH][MAXKEYLEN];
} confd_hkeypath_t;

// Setters and getters in the customary macro form.
#define CONFD_SET_NOEXISTS(v) ((v)->type = C_NOEXISTS)
#define CONFD_SET_XMLTAG(v, t, n) ((v)->type = C_XMLTAG, (v)->val.xmltag.tag = (t), (v)->val.xmltag.ns = (n))
#define CONFD_GET_XMLTAG(v) ((v)->val.xmltag.tag)
#define CONFD_GET_XMLTAG_NS(v) ((v)->val.xmltag.ns)
// A value set from text or a buffer points at the caller's bytes: nothing is
// copied. The pointer loses its const because confd_value_t also carries
// payloads the library owns and frees.
#ifdef __cplusplus
#define CONFD_BYTES_OF_(p) reinterpret_cast<unsigned char *>(const_cast<char *>(reinterpret_cast<const char *>(p)))
#define CONFD_CHARS_OF_(p) reinterpret_cast<const char *>(p)
#define CONFD_UINT_(n) static_cast<unsigned int>(n)
#else
#define CONFD_BYTES_OF_(p) ((unsigned char *)(p))
#define CONFD_CHARS_OF_(p) ((const char *)(p))
#define CONFD_UINT_(n) ((unsigned int)(n))
#endif
#define CONFD_SET_STR(v, s) \
    ((v)->type = C_STR, (v)->val.buf.ptr = CONFD_BYTES_OF_(s), (v)->val.buf.size = CONFD_UINT_(strlen(s)))
#define CONFD_SET_BUF(v, p, n) ((v)->type = C_BUF, (v)->val.buf.ptr = CONFD_BYTES_OF_(p), (v)->val.buf.size = (n))
#define CONFD_GET_BUFPTR(v) ((v)->val.buf.ptr)
#define CONFD_GET_CBUFPTR(v) CONFD_CHARS_OF_((v)->val.buf.ptr)
#define CONFD_GET_BUFSIZE(v) ((v)->val.buf.size)
#define CONFD_SET_INT32(v, x) ((v)->type = C_INT32, (v)->val.i32 = (x))
#define CONFD_GET_INT32(v) ((v)->val.i32)
#define CONFD_SET_INT64(v, x) ((v)->type = C_INT64, (v)->val.i64 = (x))
#define CONFD_GET_INT64(v) ((v)->val.i64)
#define CONFD_SET_UINT8(v, x) ((v)->type = C_UINT8, (v)->val.u8 = (x))
#define CONFD_GET_UINT8(v) ((v)->val.u8)
#define CONFD_SET_UINT16(v, x) ((v)->type = C_UINT16, (v)->val.u16 = (x))
#define CONFD_GET_UINT16(v) ((v)->val.u16)
#define CONFD_SET_UINT32(v, x) ((v)->type = C_UINT32, (v)->val.u32 = (x))
#define CONFD_GET_UINT32(v) ((v)->val.u32)
#define CONFD_SET_UINT64(v, x) ((v)->type = C_UINT64, (v)->val.u64 = (x))
#define CONFD_GET_UINT64(v) ((v)->val.u64)
#define CONFD_SET_BOOL(v, x) ((v)->type = C_BOOL, (v)->val.boolean = ((x) != 0))
#define CONFD_GET_BOOL(v) ((v)->val.boolean)
#define CONFD_SET_IPV4(v, x) ((v)->type = C_IPV4, (v)->val.ip = (x))
#define CONFD_GET_IPV4(v) ((v)->val.ip)
#define CONFD_SET_IPV6(v, x) ((v)->type = C_IPV6, (v)->val.ip6 = (x))
#define CONFD_GET_IPV6(v) ((v)->val.ip6)
#define CONFD_SET_ENUM_VALUE(v, x) ((v)->type = C_ENUM_VALUE, (v)->val.enumvalue = (x))
#define CONFD_GET_ENUM_VALUE(v) ((v)->val.enumvalue)
#define CONFD_SET_BIT32(v, x) ((v)->type = C_BIT32, (v)->val.b32 = (x))
#define CONFD_GET_BIT32(v) ((v)->val.b32)
#define CONFD_SET_DATETIME(v, x) ((v)->type = C_DATETIME, (v)->val.datetime = (x))
#define CONFD_GET_DATETIME(v) ((v)->val.datetime)

#define CONFD_SET_TAG_NS(tv, n) ((tv)->tag.ns = (n))
#define CONFD_GET_TAG_TAG(tv) ((tv)->tag.tag)
#define CONFD_GET_TAG_NS(tv) ((tv)->tag.ns)
#define CONFD_GET_TAG_VALUE(tv) (&(tv)->v)
#define CONFD_SET_TAG_NOEXISTS(tv, t) ((tv)->tag.tag = (t), (tv)->tag.ns = 0, CONFD_SET_NOEXISTS(&(tv)->v))
#define CONFD_SET_TAG_XMLBEGIN(tv, t, n) ((tv)->tag.tag = (t), (tv)->tag.ns = (n), CONFD_SET_XMLTAG(&(tv)->v, t, n), (tv)->v.type = C_XMLBEGIN)
#define CONFD_SET_TAG_XMLEND(tv, t, n) ((tv)->tag.tag = (t), (tv)->tag.ns = (n), CONFD_SET_XMLTAG(&(tv)->v, t, n), (tv)->v.type = C_XMLEND)
#define CONFD_SET_TAG_STR(tv, t, s) ((tv)->tag.tag = (t), (tv)->tag.ns = 0, CONFD_SET_STR(&(tv)->v, s))
#define CONFD_SET_TAG_UINT32(tv, t, x) ((tv)->tag.tag = (t), (tv)->tag.ns = 0, CONFD_SET_UINT32(&(tv)->v, x))
#define CONFD_SET_TAG_ENUM_VALUE(tv, t, x) ((tv)->tag.tag = (t), (tv)->tag.ns = 0, CONFD_SET_ENUM_VALUE(&(tv)->v, x))
#define CONFD_SET_TAG_BOOL(tv, t, x) ((tv)->tag.tag = (t), (tv)->tag.ns = 0, CONFD_SET_BOOL(&(tv)->v, x))
#define CONFD_SET_TAG_IPV4(tv, t, x) ((tv)->tag.tag = (t), (tv)->tag.ns = 0, CONFD_SET_IPV4(&(tv)->v, x))
#define CONFD_SET_TAG_IPV6(tv, t, x) ((tv)->tag.tag = (t), (tv)->tag.ns = 0, CONFD_SET_IPV6(&(tv)->v, x))
#define CONFD_SET_TAG_VALUE(tv, t, val) ((tv)->tag.tag = (t), (tv)->tag.ns = 0, (tv)->v = *(val))

// Releases what a value owns (string, buffer and list payloads), not the
// value itself. A value of any other type is left alone.
void confd_free_value(confd_value_t *v);
// Deep copy: dst owns copies of src's payloads. CONFD_ERR when memory ran out.
int confd_value_dup_to(const confd_value_t *src, confd_value_t *dst);
// Equal type and equal value (payloads compared by content).
int confd_val_eq(const confd_value_t *a, const confd_value_t *b);

// ---------------------------------------------------------------- library set-up

// Initialises the library for this process: the name the agent shows for
// it, where the library writes its own diagnostics (NULL: nowhere), their
// level (CONFD_SILENT, CONFD_DEBUG, CONFD_TRACE). Safe to call again.
enum confd_debug_level { CONFD_SILENT = 0, CONFD_DEBUG = 1, CONFD_TRACE = 2 };
void confd_init(const char *name, FILE *estream, enum confd_debug_level debug);
// The same with the API version the caller was built for and the keypath
// size it needs; CONFD_ERR (CONFD_ERR_PROTOUSAGE) when the version is not
// CONFD_LIB_API_VSN or the sizes exceed MAXDEPTH or MAXKEYLEN.
int confd_init_vsn_sz(const char *name, FILE *estream, enum confd_debug_level debug, int vsn, int maxdepth,
                      int maxkeylen);

// The agent's address from MGMTD_PORT (or 4565) on 127.0.0.1, for the
// connect calls. Returns the address length.
socklen_t confd_agent_addr(struct sockaddr_in *out);

// ---------------------------------------------------------------- daemon handle

enum confd_sock_type {
    CONTROL_SOCKET = 1,  // registrations; the agent's requests to start a transaction or action
    WORKER_SOCKET = 2,   // data, action and command callbacks, and notification sends
};

struct confd_daemon_ctx {
    char name[64];
    void *d_opaque;  // the owner's pointer, untouched by the library
    struct confd_daemon_private *priv;  // library state
};

struct confd_user_info;
struct confd_trans_ctx;

// The action context inside a user information record: which worker socket
// the request is bound to (set by the action init callback with
// confd_action_set_fd), and the daemon handle.
struct confd_action_ctx {
    int fd;
    struct confd_daemon_ctx *dx;
    void *t_opaque;
    int xid;  // the request being served (library use)
};

enum confd_proto { CONFD_PROTO_UNKNOWN = 0, CONFD_PROTO_CLI = 3, CONFD_PROTO_CONSOLE = 5 };

// Who asked: the operator's session (CLI) and where from. For commands and
// actions, usid names the CLI session that maapi_cli_printf writes to.
struct confd_user_info {
    char username[64];
    int usid;                 // user session id
    enum confd_proto proto;
    char context[64];         // "cli" for the operator CLI
    struct confd_action_ctx actx;
    int msock;                // the MAAPI socket for the session's output: -1 until an action init sets it
    void *u_opaque;           // the owner's pointer, untouched by the library
};

// One transaction towards a daemon: every data callback of one operator
// request runs in the same transaction. fd is the worker socket that the
// init callback bound it to with confd_trans_set_fd.
struct confd_trans_ctx {
    int fd;
    int thandle;
    struct confd_daemon_ctx *dx;
    struct confd_user_info *uinfo;
    void *t_opaque;  // the owner's pointer
    int xid;         // the request being served (library use)
};

struct confd_trans_cbs {
    int (*init)(struct confd_trans_ctx *tctx);
    int (*trans_lock)(struct confd_trans_ctx *tctx);
    int (*trans_unlock)(struct confd_trans_ctx *tctx);
    int (*write_start)(struct confd_trans_ctx *tctx);
    int (*prepare)(struct confd_trans_ctx *tctx);
    int (*abort)(struct confd_trans_ctx *tctx);
    int (*commit)(struct confd_trans_ctx *tctx);
    int (*finish)(struct confd_trans_ctx *tctx);
    void *cb_opaque;
};

// Validation of a transaction towards the daemon's validation points: init
// binds the transaction, stop ends it.
struct confd_trans_validate_cbs {
    int (*init)(struct confd_trans_ctx *tctx);
    int (*stop)(struct confd_trans_ctx *tctx);
    void *cb_opaque;
};

struct confd_valpoint_cb {
    char valpoint[256];
    int (*validate)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, confd_value_t *newval);
    void *cb_opaque;
};

// Operational data of one callpoint. The agent uses get_object,
// get_next_object and find_next_object; absent callbacks answer "not
// served".
struct confd_data_cbs {
    char callpoint[256];
    int (*get_elem)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    int (*get_next)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next);
    int (*num_instances)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    // One instance, kp naming it with its keys.
    int (*get_object)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp);
    // kp names the list; next is -1 for the first call of a listing.
    int (*get_next_object)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next);
    // The instance after (type 0) or at-or-after (type 1) the given keys.
    int (*find_next_object)(struct confd_trans_ctx *tctx, confd_hkeypath_t *kp, int type, confd_value_t *keys,
                            int nkeys);
    void *cb_opaque;
};
enum confd_find_next_type { CONFD_FIND_NEXT = 0, CONFD_FIND_SAME_OR_NEXT = 1 };

struct confd_qname {
    unsigned char *prefix;
    int prefixsz;
    unsigned char *name;
    int namesz;
};

// Actions (with tag-value parameters) and commands (with an argument
// vector, as typed by the operator). init binds the request to a worker
// socket with confd_action_set_fd; the agent then calls action or command
// there. A callback returns CONFD_OK, or CONFD_ERR after confd_action_seterr.
struct confd_action_cbs {
    char actionpoint[256];
    int (*init)(struct confd_user_info *uinfo);
    int (*abort)(struct confd_user_info *uinfo);
    int (*action)(struct confd_user_info *uinfo, struct xml_tag *name, confd_hkeypath_t *kp,
                  confd_tag_value_t *params, int nparams);
    int (*command)(struct confd_user_info *uinfo, char *path, int argc, char **argv);
    int (*completion)(struct confd_user_info *uinfo, int cli_style, char *token, int completion_char,
                      confd_hkeypath_t *kp, char *cmdpath, char *cmdparam_id, struct confd_qname *simpleType,
                      char *extra);
    void *cb_opaque;
};

// The handle of one daemon towards the agent. NULL when memory ran out.
struct confd_daemon_ctx *confd_init_daemon(const char *name);
// Closes nothing: the owner closes its sockets. Frees the handle.
void confd_release_daemon(struct confd_daemon_ctx *dx);
// Connects a socket the caller created (AF_INET, SOCK_STREAM) to the agent
// in the given role. The control socket comes first; the worker socket is
// bound to the daemon that the control socket opened.
int confd_connect(struct confd_daemon_ctx *dx, int sock, enum confd_sock_type type, const struct sockaddr *srv,
                  int addrsz);

// Registrations, on the control socket, before confd_register_done. The
// records are copied.
int confd_register_trans_cb(struct confd_daemon_ctx *dx, const struct confd_trans_cbs *tcb);
int confd_register_trans_validate_cb(struct confd_daemon_ctx *dx, const struct confd_trans_validate_cbs *vcbs);
int confd_register_valpoint_cb(struct confd_daemon_ctx *dx, const struct confd_valpoint_cb *vcb);
int confd_register_data_cb(struct confd_daemon_ctx *dx, const struct confd_data_cbs *dcb);
int confd_register_action_cbs(struct confd_daemon_ctx *dx, const struct confd_action_cbs *acb);
int confd_register_done(struct confd_daemon_ctx *dx);

// Serves one request that arrived on a control or worker socket: runs the
// callback and sends its reply. CONFD_EOF when the agent closed the socket,
// CONFD_ERR on a protocol or callback failure (confd_errno tells).
int confd_fd_ready(struct confd_daemon_ctx *dx, int fd);

// Bind a transaction or an action to a worker socket (from the init callbacks).
int confd_trans_set_fd(struct confd_trans_ctx *tctx, int sock);
int confd_action_set_fd(struct confd_user_info *uinfo, int sock);
// The error text the operator sees when the action or command fails.
void confd_action_seterr(struct confd_user_info *uinfo, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Result parameters of an action (call at most once, before returning CONFD_OK).
int confd_action_reply_values(struct confd_user_info *uinfo, confd_tag_value_t *values, int nvalues);
// The error text of a failing data or transaction callback.
void confd_trans_seterr(struct confd_trans_ctx *tctx, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// ---------------------------------------------------------------- data replies

// One reply per data callback, on the transaction's worker socket.
int confd_data_reply_not_found(struct confd_trans_ctx *tctx);
int confd_data_reply_value(struct confd_trans_ctx *tctx, const confd_value_t *v);
// An object: its leaves in schema order (a get_object reply leaves the keys
// out). n = -1 answers "no such object".
int confd_data_reply_tag_value_array(struct confd_trans_ctx *tctx, confd_tag_value_t *tv, int n);
// One object of a listing and the next-value the agent passes back to
// get_next_object; next = -1 asks the agent to continue with
// find_next_object on this object's keys. n = -1 ends the list.
int confd_data_reply_next_object_tag_value_array(struct confd_trans_ctx *tctx, confd_tag_value_t *tv, int n,
                                                  long next);
struct confd_tag_next_object {
    confd_tag_value_t *tv;
    int n;      // values of this object; 0 or -1: end of list (the objects before it are the whole rest)
    long next;  // as above, for the last object of the reply
};
// Several objects at once. An object with n <= 0 ends the list; when the
// last object has values, the agent continues after it as with a single
// object. timeout_millisecs: how long the agent may cache the reply (0: not).
int confd_data_reply_next_object_tag_value_arrays(struct confd_trans_ctx *tctx, struct confd_tag_next_object *tobj,
                                                   int nobj, long timeout_millisecs);

// ---------------------------------------------------------------- notification streams

struct confd_notification_ctx;
struct confd_notification_stream_cbs {
    char streamname[256];
    int fd;  // the worker socket that sends carry
    int (*get_log_times)(struct confd_notification_ctx *nctx);
    int (*replay)(struct confd_notification_ctx *nctx, struct confd_datetime *start, struct confd_datetime *stop);
    void *cb_opaque;
};
int confd_register_notification_stream(struct confd_daemon_ctx *dx, const struct confd_notification_stream_cbs *ncb,
                                       struct confd_notification_ctx **nctx);
// An SNMP trap context on a worker socket. Traps go to the agent's "snmp"
// stream (there is no SNMP manager to send them to).
int confd_register_snmp_notification(struct confd_daemon_ctx *dx, int fd, struct confd_notification_ctx **nctx,
                                     const char *ctx_name, const char *notify_name);
// Sends one notification: values[0] is the notification's own element
// (C_XMLBEGIN), its leaves follow, the last is its C_XMLEND. Safe from any
// thread: frames on one socket never interleave.
int confd_notification_send(struct confd_notification_ctx *nctx, struct confd_datetime *time,
                            confd_tag_value_t *values, int nvalues);
struct confd_snmp_varbind {
    char name[256];
    confd_value_t val;
};
// The notify target of the next SNMP send on this context.
int confd_notification_set_snmp_notify_name(struct confd_notification_ctx *nctx, const char *notify_name);
int confd_notification_send_snmp(struct confd_notification_ctx *nctx, const char *notification,
                                 struct confd_snmp_varbind *varbinds, int num_vars);
// Installs the agent's crypto keys for encrypted leaf types. The agent keeps
// no such keys: a successful no-op.
int confd_install_crypto_keys(struct confd_daemon_ctx *dx);

// ---------------------------------------------------------------- event notifications

// Event notifications read from a notification socket
// (confd_notifications_connect with a mask).
enum confd_notification_type {
    CONFD_NOTIF_COMMIT_SIMPLE = (1 << 3),  // a configuration commit
    CONFD_NOTIF_STREAM_EVENT = (1 << 14),  // a notification on a stream
};
struct confd_stream_notification {
    char streamname[256];
    struct confd_datetime event_time;
    confd_tag_value_t *values;  // owned by the record: confd_free_notification
    int nvalues;
};
struct confd_commit_notification {
    int database;
    int usid;
    char username[64];
};
struct confd_notification {
    enum confd_notification_type type;
    union {
        struct confd_commit_notification commit;
        struct confd_stream_notification stream;
    } n;
};
int confd_notifications_connect(int sock, const struct sockaddr *srv, int addrsz, int mask);
// Reads one event (blocking). CONFD_EOF when the agent closed the socket.
int confd_read_notification(int sock, struct confd_notification *n);
void confd_free_notification(struct confd_notification *n);

// ---------------------------------------------------------------- schema

// Node kinds of the loaded schema.
enum confd_cs_node_kind {
    CS_NODE_IS_CONTAINER = 1,
    CS_NODE_IS_LIST = 2,
    CS_NODE_IS_LEAF = 3,
    CS_NODE_IS_LEAF_LIST = 4,
    CS_NODE_IS_ACTION = 5,
    CS_NODE_IS_NOTIF = 6,
    CS_NODE_IS_CASE = 7,
};
struct confd_cs_node_info {
    uint32_t *keys;      // key leaves' tags, ended by 0 (lists only)
    int minOccurs;
    int maxOccurs;       // -1: unbounded
    enum confd_vtype shallow_type;  // leaves: the value type
    struct confd_type *type;        // leaves: for confd_val2str/str2val
    confd_value_t *defval;          // default value or NULL
    int flags;                      // CS_NODE_IS_* kind in the low byte; CS_NODE_CONFIG_FALSE etc. above
    uint8_t cmp;
    char *callpoint;                // the data callpoint of a list, or NULL
};
#define CS_NODE_KIND_MASK 0xff
#define CS_NODE_CONFIG_FALSE 0x100
#define CS_NODE_PRESENCE 0x200

struct confd_cs_node {
    uint32_t tag;
    uint32_t ns;
    struct confd_cs_node_info info;
    struct confd_cs_node *parent;
    struct confd_cs_node *children;
    struct confd_cs_node *next;
    void *opaque;
};

struct confd_nsinfo {
    const char *uri;
    const char *prefix;
    uint32_t hash;      // the namespace number
    const char *revision;
    const char *module;
};

// Fetches the schema from the agent (all namespaces). Replaces a schema
// loaded before. Safe to call from any thread; lookups read the schema that
// is loaded when they run.
int confd_load_schemas(const struct sockaddr *srv, int srv_sz);
// Only the namespaces listed (nsv), for daemons that need a part.
int confd_load_schemas_list(const struct sockaddr *srv, int srv_sz, int flags, const uint32_t *nsv, int nsv_count,
                            const char **nsl, int nsl_count);
void confd_free_schemas(void);
// Name of a tag, or NULL when the schema does not know it.
char *confd_hash2str(uint32_t hash);
// Tag of a name, or 0.
uint32_t confd_str2hash(const char *str);
// Namespaces of the loaded schema; returns their number.
int confd_get_nslist(struct confd_nsinfo **listp);
// The prefix of a namespace, or NULL.
char *confd_ns2prefix(uint32_t ns);
// The top-level schema node of a namespace (and its siblings), or NULL.
struct confd_cs_node *confd_find_cs_root(uint32_t ns);
// The schema node a keypath names, looking at its last len elements (len -1:
// the whole keypath).
struct confd_cs_node *confd_find_cs_node(const confd_hkeypath_t *hkp, int len);
// The schema node of a path like "/system/personality" (keys in a path are
// ignored), starting at start (NULL: the roots), or NULL.
struct confd_cs_node *confd_cs_node_cd(const struct confd_cs_node *start, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Value text in the form the CLI shows it: for a schema-aware form, the
// leaf's type (enum labels, bit names); without it, by the value type alone.
// Both return the text length (what it would be if buf were big enough), or
// CONFD_ERR.
int confd_pp_value(char *buf, int bufsiz, const confd_value_t *v);
int confd_val2str(struct confd_type *type, const confd_value_t *val, char *buf, int bufsiz);
// Parses text into a value of the leaf's type. CONFD_ERR when it does not parse.
int confd_str2val(struct confd_type *type, const char *str, confd_value_t *v);
// The keypath as the CLI prints paths: /tlocs/tloc{10.0.0.1 blue ipsec}/path{2}.
// Tags the schema does not know print as their number. Returns the length.
int confd_pp_kpath(char *buf, int n, const confd_hkeypath_t *hkeypath);
int confd_pp_kpath_len(char *buf, int n, const confd_hkeypath_t *hkeypath, int len);

#ifdef __cplusplus
}
#endif

// What operators see of TLOCs: the show operation of the TLOC families (also
// used by the database dump), the local TLOC dump and the show-support
// lookup, all written to a CLI session with maapi_cli_printf. Key material
// is never printed: keys appear as a masked digest, security keys by their
// first and last byte. Event-loop thread only (ConfD command callbacks).
#pragma once

#include <cstddef>
#include <cstdint>

#include "zor_db.h"
#include "zor_msg.h"

struct confd_user_info;

// One TLOC entry (the show slot of both TLOC families).
void zor_af_tloc_show(zor_af_t af, t_zor_context *ctx, t_zor_db_entry *entry, confd_user_info *uinfo);
// Every entry of the family tree in key order.
void zor_af_tloc_show_all(zor_af_t af, t_zor_context *ctx, confd_user_info *uinfo);

// Command "zor_dump_local_tloc": the local TLOC tree of the process-wide
// context; nothing without a context.
void zor_af_tloc_local_db_dump(confd_user_info *uinfo);

// The show-support lookup ("zor_dump_tlocs"): argv[0] is the command; with
// it alone every TLOC-IPV4 entry, with "--tlocip=A.B.C.D:colour:encap" that
// one TLOC. Bad arguments get a usage or error line. Always ZOR_OK.
int zor_show_support_tlocs(confd_user_info *uinfo, int argc, char **argv);


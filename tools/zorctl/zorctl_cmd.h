// zorctl's command words turned into the agent's CLI requests
// (confd_proto.h), or into the shell's own commands.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "confd_proto.h"
#include "zorctl_conn.h"
#include "zorctl_schema.h"

// How a reply is shown when --json is not given.
enum class zc_view {
    none,      // nothing to show (a commit, a phase)
    tree,      // a data tree as indented "name value" lines
    tlocs,     // table: System IP, Colour, Encap
    paths,     // table: Index, Preference, MTU, Best, Status, Stale
    links,     // table: Index, Local TLOC, Remote TLOC, Label
    output,    // a command's streamed text
    results,   // an action's results
    notifs,    // one JSON line per notification
    status,    // the agent's status
};

struct zc_edit {
    mgmt_edit_op op = MGMT_EDIT_SET;
    std::string path;   // the agent's form
    std::string value;  // SET only
    std::string shown;  // as the operator would type it again ("set system/personality brink")
};

struct zc_request {
    mgmt_op op = MGMT_OP_CLI_STATUS;
    zc_view view = zc_view::none;
    std::string path;                                         // GET_CONFIG ("" = all), GET_OPER
    uint32_t flags = 0;                                       // GET_OPER
    std::vector<zc_edit> edits;                               // COMMIT
    std::string point;                                        // COMMAND, ACTION
    std::vector<std::string> argv;                            // COMMAND: argv[0] is the command's name
    std::vector<std::pair<std::string, std::string>> params;  // ACTION
    std::string stream;                                       // NOTIFS ("" = all)
    bool follow = false;                                      // NOTIFS
    int64_t phase = 0;                                        // PHASE

    // The request's frame.
    std::string frame(uint32_t xid) const;
};

// Commands the shell runs itself.
enum class zc_local {
    none,          // a request for the agent
    config,        // enter config mode
    commit,        // send the pending edits
    abort,         // drop them
    show_changes,  // list them
    exit,          // leave config mode, or the shell
    help,
};

struct zc_parsed {
    zc_local local = zc_local::none;
    zc_request req;
};

// Gives the schema when a command needs it (paths to check), loading it from
// the agent the first time; nullptr with err filled when it cannot.
using zc_schema_fn = std::function<const zc_schema *(zc_error &err)>;

// Parses one command's words. interactive admits the shell's own commands,
// config_mode those of config mode. On failure err is ZC_EXIT_USAGE with a
// one-line reason (a usage line for a malformed command), or the schema
// provider's failure.
bool zc_parse_command(std::span<const std::string> words, bool interactive, bool config_mode,
                      const zc_schema_fn &schema, zc_parsed &out, zc_error &err);

// The command words that may follow the given words (for completion); empty
// when the words are not a command prefix or take a path or free text next.
std::vector<std::string> zc_command_words(std::span<const std::string> words, bool interactive, bool config_mode);

// How many leading words of a command are its words before a path, or 0
// when it takes no path ("set" 1, "show running-config" 2, "show oper" 2).
size_t zc_path_start(std::span<const std::string> words);

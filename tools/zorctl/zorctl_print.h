// zorctl's readable output: data trees as indented "name value" lines, the
// TLOC tables, and any JSON document (the agent's status, an action's
// results) in the same indented form. Pure functions of their input.
#pragma once

#include <string>
#include <vector>

#include "zorctl_schema.h"

// A data tree (tree and its following siblings) as indented lines: a
// container is its name, a list instance its name and keys, a leaf its name
// and value, a leaf-list one line per value.
std::string zc_tree_text(const lyd_node *tree);

// Columns left-aligned under their headers, a rule of dashes beneath them,
// two blanks between columns, no trailing blanks.
std::string zc_table(const std::vector<std::string> &headers, const std::vector<std::vector<std::string>> &rows);

// The TLOC tables, from every instance of the list they show anywhere in
// tree (the plain or the tenant module alike), in document order.
std::string zc_tlocs_table(const lyd_node *tree);  // System IP, Colour, Encap
std::string zc_paths_table(const lyd_node *tree);  // Index, Preference, MTU, Best, Status, Stale
std::string zc_links_table(const lyd_node *tree);  // Index, Local TLOC, Remote TLOC, Label

// Any JSON document as indented "name value" lines (arrays of values on one
// line, arrays of objects as "- " items). False when json does not parse.
bool zc_json_text(const std::string &json, std::string &out);

// zor-peer --snapshot ... --dot: the overlay a snapshot holds as a Graphviz
// DOT graph, for `dot -Tsvg`.
//
// Regions are clusters (a TLOC's region is the last non-zero id of its
// groups, as zord's path computation takes it); every TLOC is a node, local
// ones filled blue, remote ones grey, border TLOCs drawn with a double frame
// and "border" in their label; every link is an edge from its local to its
// remote end, labelled with its label and MTU and coloured by its status
// (green up, red dashed down); the links of the paths zord computed are drawn
// thick and blue, and the TLOCs those paths lead to framed blue. A link end
// that is not among the snapshot's TLOCs (the snapshot did not take the TLOC
// family, or the TLOC is gone) is a dashed node of its own.
#pragma once

#include <string>

#include "zor_peer_snapshot.h"

// The whole graph, ending with a line feed. Deterministic: nodes and edges
// come in the snapshot's key order.
std::string zp_snapshot_dot(const zp_snapshot &snap);

// The memory rows of the daemon's own records. This file stands above the
// records it names, so that the accounting (zor_mem.cpp) includes none of
// them; the families' records come from the family table.
#include "zor_af.h"
#include "zor_client.h"
#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_group.h"
#include "zor_mem.h"
#include "zor_path.h"

namespace {

template <typename T>
void describe(const char *type_name)
{
    zor_mem_row_describe(zor_mem_type_of<T>::value, type_name, sizeof(T));
}

}  // namespace

void zor_mem_rows_describe()
{
    describe<t_zor_daemon>("t_zor_daemon");
    describe<t_zor_context>("t_zor_context");
    describe<t_zor_client>("t_zor_client");
    describe<avl_tree_t>("avl_tree_t");
    describe<t_zor_db_entry>("t_zor_db_entry");
    describe<t_zor_group>("t_zor_group");
    describe<t_zor_group_tloc>("t_zor_group_tloc");
    describe<t_zor_path>("t_zor_path");
    zor_af_mem_rows_describe();
}

#include "zor_af_link.h"

// Links come with the link family; until then no TLOC pair gets a link.
void zor_af_link_update(t_zor_context * /*ctx*/, t_zor_af_tloc * /*a*/, t_zor_af_tloc * /*b*/, bool /*remove*/) {}

// Links come with the link family; until then there is no link to update.
void zor_af_link_db_bfd_status(zor_af_t /*af*/, t_zor_context * /*ctx*/, t_zor_client * /*client*/,
                               zor_msg_t * /*msg*/)
{
}

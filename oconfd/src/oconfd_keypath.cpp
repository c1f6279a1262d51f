// Keys out of the agent's keypaths, for operational-data callbacks.
#include <cstdlib>

#include "oconfd_internal.h"

confd_value_t *oconfd_keypath_get_keys(const confd_hkeypath_t *kp, confd_value_t *out, int num_keys, uint32_t tag)
{
    // The keys of a list instance are the keypath entry just inside its
    // element (v[i - 1] of the element at v[i]), ended by a C_NOEXISTS.
    int found = 0;
    const confd_value_t *keys = nullptr;
    for (int i = kp->len - 1; i > 0; --i) {
        const confd_value_t &elem = kp->v[i][0];
        if (elem.type == C_XMLTAG && elem.val.xmltag.tag == tag && kp->v[i - 1][0].type != C_XMLTAG) {
            keys = kp->v[i - 1];
            while (found < MAXKEYLEN && keys[found].type != C_NOEXISTS) {
                ++found;
            }
            break;
        }
    }
    if (found != num_keys) {
        OCONFD_LOG("Number of keys given (%d) != number of keys found (%d) !", num_keys, found);
        return nullptr;
    }
    if (num_keys == 0) {
        return out;
    }
    if (out == nullptr) {
        out = static_cast<confd_value_t *>(malloc(sizeof(confd_value_t) * static_cast<size_t>(num_keys)));
        if (out == nullptr) {
            OCONFD_LOG("Could not allocate memory");
            return nullptr;
        }
    }
    // The copies share their string payloads with kp: they are valid while
    // the callback that got kp runs.
    for (int k = 0; k < num_keys; ++k) {
        out[k] = keys[k];
    }
    return out;
}

// Values between the wire (confd_value_t) and libyang data: a leaf's value
// as the value type its schema type gives, and the text libyang takes for
// a value sent for a leaf.
#pragma once

#include <libyang/libyang.h>

#include <string>

#include "confd_lib.h"

namespace mgmtd {

// A confd value that owns its payload.
class cvalue {
public:
    cvalue() { v_.type = C_NOEXISTS; }
    // Takes over v's payload.
    static cvalue adopt(const confd_value_t &v)
    {
        cvalue c;
        c.v_ = v;
        return c;
    }
    cvalue(const cvalue &o) { copy_from(o.v_); }
    cvalue &operator=(const cvalue &o)
    {
        if (this != &o) {
            confd_free_value(&v_);
            copy_from(o.v_);
        }
        return *this;
    }
    cvalue(cvalue &&o) noexcept : v_(o.v_) { o.v_.type = C_NOEXISTS; }
    cvalue &operator=(cvalue &&o) noexcept
    {
        if (this != &o) {
            confd_free_value(&v_);
            v_ = o.v_;
            o.v_.type = C_NOEXISTS;
        }
        return *this;
    }
    ~cvalue() { confd_free_value(&v_); }

    const confd_value_t &get() const { return v_; }
    confd_value_t &get() { return v_; }
    bool exists() const { return v_.type != C_NOEXISTS; }

private:
    void copy_from(const confd_value_t &src)
    {
        if (confd_value_dup_to(&src, &v_) != CONFD_OK) {
            v_.type = C_NOEXISTS;
        }
    }
    confd_value_t v_{};
};

// The value of a data leaf by its type (payloads malloc'ed into out).
cvalue value_of_term(const lyd_node *term);
// The values of the instances of leaf-list snode under parent (the
// top-level siblings of first when parent is nullptr) as one C_LIST;
// C_NOEXISTS when there is none.
cvalue leaf_list_value(const lyd_node *parent, const lyd_node *first, const lysc_node *snode);
// The text libyang takes for v as a value of leaf (or leaf-list) snode.
// False with the reason in *err when v's type does not fit the leaf's.
bool value_text(const lysc_node *snode, const confd_value_t &v, std::string *out, std::string *err);
// The value of text for leaf snode, typed as the leaf's values are. False
// with libyang's reason in *err when the text is not a value of the leaf.
bool value_from_text(const lysc_node *snode, const std::string &text, cvalue *out, std::string *err);
// The value's text without a schema (enumerations as numbers), for
// notifications and action results.
std::string value_plain_text(const confd_value_t &v);
// The name of a value type ("C_UINT32").
const char *vtype_name(int type);
std::string datetime_text(const confd_datetime &d);

}  // namespace mgmtd

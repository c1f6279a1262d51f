#include <cstdlib>
#include <cstring>

#include "confd_lib.h"

void confd_free_value(confd_value_t *v)
{
    if (v == nullptr) {
        return;
    }
    switch (v->type) {
    case C_STR:
    case C_BUF:
        free(v->val.buf.ptr);
        v->val.buf.ptr = nullptr;
        v->val.buf.size = 0;
        break;
    case C_LIST:
        for (unsigned i = 0; i < v->val.list.size; i++) {
            confd_free_value(&v->val.list.ptr[i]);
        }
        free(v->val.list.ptr);
        v->val.list.ptr = nullptr;
        v->val.list.size = 0;
        break;
    default:
        break;
    }
}

int confd_value_dup_to(const confd_value_t *src, confd_value_t *dst)
{
    *dst = *src;
    if (src->type == C_STR || src->type == C_BUF) {
        unsigned n = src->val.buf.ptr == nullptr ? 0 : src->val.buf.size;
        auto *p = static_cast<unsigned char *>(malloc(n + 1));
        if (p == nullptr) {
            dst->type = C_NOEXISTS;
            return CONFD_ERR;
        }
        if (n > 0) {
            memcpy(p, src->val.buf.ptr, n);
        }
        p[n] = 0;
        dst->val.buf.ptr = p;
        dst->val.buf.size = n;
    } else if (src->type == C_LIST) {
        unsigned n = src->val.list.ptr == nullptr ? 0 : src->val.list.size;
        dst->val.list.ptr = nullptr;
        dst->val.list.size = 0;
        if (n == 0) {
            return CONFD_OK;
        }
        auto *members = static_cast<confd_value_t *>(calloc(n, sizeof(confd_value_t)));
        if (members == nullptr) {
            dst->type = C_NOEXISTS;
            return CONFD_ERR;
        }
        for (unsigned i = 0; i < n; i++) {
            if (confd_value_dup_to(&src->val.list.ptr[i], &members[i]) != CONFD_OK) {
                for (unsigned k = 0; k < i; k++) {
                    confd_free_value(&members[k]);
                }
                free(members);
                dst->type = C_NOEXISTS;
                return CONFD_ERR;
            }
        }
        dst->val.list.ptr = members;
        dst->val.list.size = n;
    }
    return CONFD_OK;
}

int confd_val_eq(const confd_value_t *a, const confd_value_t *b)
{
    if (a->type != b->type) {
        return 0;
    }
    switch (a->type) {
    case C_NOEXISTS:
    case C_EMPTY:
        return 1;
    case C_XMLTAG:
    case C_XMLBEGIN:
    case C_XMLEND:
    case C_XMLBEGINDEL:
        return a->val.xmltag.tag == b->val.xmltag.tag && a->val.xmltag.ns == b->val.xmltag.ns;
    case C_STR:
    case C_BUF:
        return a->val.buf.size == b->val.buf.size &&
               (a->val.buf.size == 0 || memcmp(a->val.buf.ptr, b->val.buf.ptr, a->val.buf.size) == 0);
    case C_LIST:
        if (a->val.list.size != b->val.list.size) {
            return 0;
        }
        for (unsigned i = 0; i < a->val.list.size; i++) {
            if (!confd_val_eq(&a->val.list.ptr[i], &b->val.list.ptr[i])) {
                return 0;
            }
        }
        return 1;
    case C_INT8:
        return a->val.i8 == b->val.i8;
    case C_UINT8:
        return a->val.u8 == b->val.u8;
    case C_BOOL:
        return (a->val.boolean != 0) == (b->val.boolean != 0);
    case C_INT16:
        return a->val.i16 == b->val.i16;
    case C_UINT16:
        return a->val.u16 == b->val.u16;
    case C_INT32:
        return a->val.i32 == b->val.i32;
    case C_UINT32:
        return a->val.u32 == b->val.u32;
    case C_SYMBOL:
        return a->val.symbol == b->val.symbol;
    case C_ENUM_VALUE:
        return a->val.enumvalue == b->val.enumvalue;
    case C_BIT32:
        return a->val.b32 == b->val.b32;
    case C_IPV4:
        return a->val.ip.s_addr == b->val.ip.s_addr;
    case C_INT64:
        return a->val.i64 == b->val.i64;
    case C_UINT64:
        return a->val.u64 == b->val.u64;
    case C_BIT64:
        return a->val.b64 == b->val.b64;
    case C_DOUBLE:
        return a->val.d == b->val.d;
    case C_IPV6:
        return memcmp(&a->val.ip6, &b->val.ip6, sizeof(a->val.ip6)) == 0;
    case C_DATETIME: {
        // Field by field: the struct has padding that a copy may not have cleared.
        const confd_datetime &x = a->val.datetime, &y = b->val.datetime;
        return x.year == y.year && x.month == y.month && x.day == y.day && x.hour == y.hour && x.min == y.min &&
               x.sec == y.sec && x.micro == y.micro && x.timezone == y.timezone &&
               x.timezone_minutes == y.timezone_minutes;
    }
    }
    return 0;
}

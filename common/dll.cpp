#include "dll.h"

#include "ost_assert.h"

void dll_init(dll_t *p_dll)
{
    p_dll->p_head = nullptr;
    p_dll->p_tail = nullptr;
    p_dll->count = 0;
}

void dll_append(dll_t *p_dll, dll_node_t *p_newnode)
{
    OST_ASSERT(p_newnode->p_next == NULL && p_newnode->p_prev == NULL);
    if (p_dll->p_tail == nullptr) {
        OST_ASSERT(p_dll->count == 0);
        p_dll->p_head = p_newnode;
    } else {
        OST_ASSERT(p_dll->count > 0);
        p_dll->p_tail->p_next = p_newnode;
        p_newnode->p_prev = p_dll->p_tail;
    }
    p_dll->p_tail = p_newnode;
    p_dll->count++;
}

void dll_remove(dll_t *p_dll, dll_node_t *p_node)
{
    OST_ASSERT(p_dll->count > 0);
    if (p_node->p_prev != nullptr) {
        p_node->p_prev->p_next = p_node->p_next;
    } else {
        p_dll->p_head = p_node->p_next;
    }
    if (p_node->p_next != nullptr) {
        p_node->p_next->p_prev = p_node->p_prev;
    } else {
        p_dll->p_tail = p_node->p_prev;
    }
    p_node->p_next = nullptr;
    p_node->p_prev = nullptr;
    p_dll->count--;
    if (p_dll->p_tail == nullptr) {
        OST_ASSERT(p_dll->count == 0);
    }
}

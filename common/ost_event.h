// Owners for libevent handles: a handle held by one of these is freed exactly
// once, by its owner, and never by a bare *_free call elsewhere.
#pragma once

#include <event2/event.h>
#include <event2/listener.h>
#include <memory>

struct ost_event_base_deleter {
    void operator()(event_base *base) const { event_base_free(base); }
};
struct ost_event_deleter {
    void operator()(event *ev) const { event_free(ev); }  // also deletes a pending event
};
struct ost_evconnlistener_deleter {
    void operator()(evconnlistener *l) const { evconnlistener_free(l); }
};

using ost_event_base_ptr = std::unique_ptr<event_base, ost_event_base_deleter>;
using ost_event_ptr = std::unique_ptr<event, ost_event_deleter>;
using ost_evconnlistener_ptr = std::unique_ptr<evconnlistener, ost_evconnlistener_deleter>;

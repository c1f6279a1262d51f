// zord's log style: every line at local7.debug, beginning "function[line]: ".
// ZOR_DEBUG lines are written only while the debug level is above 0.
#pragma once

#include <cstdint>

#include "ost_log.h"

#define ZOR_SYSLOG_IDENT "ZORD"
#define ZOR_LOG_PRI (LOG_LOCAL7 | LOG_DEBUG)
#define ZOR_LOG_INFO_PRI (LOG_LOCAL7 | LOG_INFO)

extern uint32_t g_zor_debug;

#define ZOR_LOG(fmt, ...) OST_LOGF(ZOR_LOG_PRI, fmt __VA_OPT__(, ) __VA_ARGS__)
#define ZOR_DEBUG(fmt, ...)                             \
    do {                                                \
        if (g_zor_debug > 0) {                          \
            ZOR_LOG(fmt __VA_OPT__(, ) __VA_ARGS__);    \
        }                                               \
    } while (0)

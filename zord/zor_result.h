// The daemon's result codes. Functions keep returning int (the values go
// through C callbacks and tables of function pointers unchanged); these names
// say which of the small integers a caller sees. The transport has codes of
// its own (MSGQ_* in common/msgq_util.h).
#pragma once

enum zor_result : int {
    ZOR_OK = 0,
    ZOR_ERR_FAILED = 1,     // general failure
    ZOR_ERR_NO_MEMORY = 2,  // an allocation failed; nothing half-built is kept
    ZOR_ERR_ENCODE = 3,     // a message could not be encoded
    ZOR_ERR_SEND = 5,       // the transport refused a message
    ZOR_ERR_NOT_FOUND = 6,  // a missing object, or every value of a range taken
};

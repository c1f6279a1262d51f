// Fuzz target for the message decoder: any byte string is either refused
// (leaving an all-zero record) or is exactly the encoding of the record that
// decode produced. Reads outside the input are caught by the sanitizers.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "zor_msg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The decoder takes a 16-bit length, as the message queue delivers it.
    if (size > UINT16_MAX) {
        return 0;
    }
    zor_msg_t msg;
    if (zor_msg_decode(&msg, data, static_cast<uint16_t>(size)) != 0) {
        static const zor_msg_t zero{};
        if (memcmp(&msg, &zero, sizeof(msg)) != 0) {
            abort();
        }
        return 0;
    }
    uint8_t buf[ZOR_MSG_ENCODE_MAX];
    uint16_t len = 0;
    if (zor_msg_encode(&msg, buf, &len) != 0 || len != size || memcmp(buf, data, size) != 0) {
        abort();
    }
    return 0;
}

// Feeds the SLP reply readers an arbitrary datagram and checks what they
// made of it: a URL only when it names the server, addresses only when
// non-zero, distinct and within the capacity.
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

#include "slp/slp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy of exactly the datagram's size: any read past it is caught.
    std::vector<uint8_t> reply(data, data + size);
    char url[64];
    if (slp_read_service_reply(reply.data(), size, 0x1234, "FS1", url, sizeof url)) {
        size_t length = strlen(url);
        if (length < 4 || strcasecmp(url + length - 4, "/FS1") != 0 ||
            strncasecmp(url, "service:bindery.novell://", 25) != 0)
            abort();
    }
    uint32_t addresses[4];
    int count = slp_read_attribute_reply(reply.data(), size, 0x1234, addresses, 4);
    if (count < 0 || count > 4)
        abort();
    for (int i = 0; i < count; i++)
        for (int j = 0; j <= i; j++)
            if (addresses[i] == 0 || (j < i && addresses[i] == addresses[j]))
                abort();
    bool overflowed;
    slp_reply_status(reply.data(), size, slp_service_reply, 0x1234, &overflowed);
    slp_read_agent_advert(reply.data(), size, 0x1234, "BLDG 32,DEFAULT");
    return 0;
}

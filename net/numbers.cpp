// Names that read as numbers: which are IPv4 addresses, and which only
// look like one to a lenient parser.
#include <cstring>

#include "net/net.h"

bool net_dotted(const char *name, uint32_t *address)
{
    *address = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0 && *name++ != '.')
            return false;
        uint32_t value = 0;
        int digits = 0;
        for (; *name >= '0' && *name <= '9' && digits < 4; name++, digits++)
            value = value * 10 + (uint32_t)(*name - '0');
        if (digits == 0 || value > 255 || (digits > 1 && name[-digits] == '0'))
            return false;
        *address = *address << 8 | value;
    }
    return *name == '\0';
}

// An address parser reads these as numbers too (inet_aton: 127.1, 0x7f.1),
// or tries them as names (10.0.0.256), though no host name ends in a
// number.
bool net_loose_number(const char *name)
{
    uint32_t address;
    size_t n = strlen(name);
    n -= n > 0 && name[n - 1] == '.';
    size_t start = n;
    while (start > 0 && name[start - 1] != '.')
        start--;
    size_t hex = name[start] == '0' && (name[start + 1] | 0x20) == 'x' ? 2 : 0;
    size_t digits = strspn(name + start + hex, hex ? "0123456789abcdefABCDEF" : "0123456789");
    return n > start + hex && start + hex + digits >= n && !net_dotted(name, &address);
}

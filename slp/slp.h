// Finding a NetWare server by its name over the Service Location Protocol,
// version 2 (RFC 2608), as NetWare and OES servers advertise themselves:
// the URL service:bindery.novell:///NAME, with the server's addresses in
// its attribute svcaddr-ws.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/net.h"

// The server's IPv4 addresses on port 524, at most capacity of them; 0
// when no agent knows the name within 2 seconds. The directory agents and
// scopes come from OpenSLP's configuration file where one is given and
// exists; the SLP multicast group is always asked.
int slp_find_server(const char *name, const char *config_file, net_address *addresses,
                    int capacity);

enum : uint8_t {
    slp_service_request = 1,
    slp_service_reply = 2,
    slp_attribute_request = 6,
    slp_attribute_reply = 7,
};

// A request: the previous-responder list, then the service type or URL,
// the scope list, the predicate or tag list, and an empty SPI. Its size, 0
// when it does not fit.
size_t slp_write_request(uint8_t *out, size_t capacity, uint8_t function, uint16_t xid,
                         bool multicast, const char *responders, const char *target,
                         const char *scopes, const char *wanted);

// The readers of replies from the network: each checks every length
// against the reply's size and reads nothing outside it. A reply of
// another function or XID, or carrying an error code, yields nothing.
// True when the datagram is a reply of that function to xid; overflowed
// then tells whether it says that it did not fit into its datagram.
bool slp_answers(const uint8_t *reply, size_t size, uint8_t function, uint16_t xid,
                 bool *overflowed);
// True when a service reply holds the URL of the server named, whatever
// the case of either.
bool slp_read_service_reply(const uint8_t *reply, size_t size, uint16_t xid, const char *name,
                            char *url, size_t url_capacity);
// The distinct IPv4 addresses that an attribute reply lists in svcaddr-ws;
// their count.
int slp_read_attribute_reply(const uint8_t *reply, size_t size, uint16_t xid,
                             uint32_t *addresses, int capacity);

// net.slp.useScopes (DEFAULT when not set) and net.slp.DAAddresses, blanks
// removed, from the file when it exists.
void slp_read_config(const char *file, char *scopes, size_t scopes_capacity, char *agents,
                     size_t agents_capacity);

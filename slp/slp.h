// Finding a NetWare server by its name over the Service Location Protocol,
// version 2 (RFC 2608), as NetWare and OES servers advertise themselves:
// the URL service:bindery.novell:///NAME, with the server's addresses in
// its attribute svcaddr-ws.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/net.h"

// Where the site names its directory agents and scopes, as OpenSLP's
// net.slp.DAAddresses and net.slp.useScopes read (comma-separated; DEFAULT,
// and no agents, when empty). unreadable: settings that exist but cannot be
// read whole, which fail closed as agents that never answer.
struct slp_settings {
    char scopes[256];
    char agents[512];
    bool unreadable;
};

// True when the site has made directory agents its authority: then they
// alone are asked, never the multicast group, and before the resolver.
bool slp_has_agents(const slp_settings *settings);
// The server's IPv4 addresses on port 524, at most capacity of them; 0
// when no agent knows the name within 2 seconds. The agents are resolved
// before the 2 seconds start, names by the hosts file and DNS alone until
// that has taken a second: a name begun before then takes as long as the
// resolver's settings let it.
int slp_find_server(const char *name, const slp_settings *settings, net_address *addresses,
                    int capacity);

enum : uint8_t {
    slp_service_request = 1,
    slp_service_reply = 2,
    slp_attribute_request = 6,
    slp_attribute_reply = 7,
    slp_agent_advert = 8,
};

// A request: the previous-responder list, then the service type or URL,
// the scope list, the predicate or tag list, and an empty SPI. Its size, 0
// when it does not fit.
size_t slp_write_request(uint8_t *out, size_t capacity, uint8_t function, uint16_t xid,
                         bool multicast, const char *responders, const char *target,
                         const char *scopes, const char *wanted);
// The predicate (svcname-wsOPERATORNAME), the name's reserved characters
// escaped; false when it does not fit.
bool slp_write_predicate(char *out, size_t capacity, const char *op, const char *name);

// The readers of replies from the network: each checks every length
// against the reply's size and reads nothing outside it. A reply of
// another function or XID, carrying an error code or an extension that
// must be understood (none is), yields nothing. A reply that did not fit
// into its datagram yields what its whole entries hold.
// The error code of a reply of that function to xid, or -1 when it is no
// such reply; overflowed then tells whether it did not fit.
int slp_reply_status(const uint8_t *reply, size_t size, uint8_t function, uint16_t xid,
                     bool *overflowed);
// True when a service reply holds the URL of the server named, whatever
// the case of either.
bool slp_read_service_reply(const uint8_t *reply, size_t size, uint16_t xid, const char *name,
                            char *url, size_t url_capacity);
// The distinct IPv4 addresses that an attribute reply lists in svcaddr-ws,
// but zero, multicast and broadcast ones; their count.
int slp_read_attribute_reply(const uint8_t *reply, size_t size, uint16_t xid,
                             uint32_t *addresses, int capacity);
// True for a directory agent's advertisement to xid that it is up (a boot
// time) and serves one of the scopes.
bool slp_read_agent_advert(const uint8_t *reply, size_t size, uint16_t xid, const char *scopes);

// A comma-separated list with the blanks around each element removed and
// empty elements dropped, blanks inside kept; false when it does not fit
// (capacity is at least 1).
bool slp_tidy_list(const char *list, char *out, size_t capacity);
// The settings from OpenSLP's configuration file, as written; none when
// the file is missing.
void slp_read_config(const char *file, slp_settings *settings);

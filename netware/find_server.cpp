// Where a server is looked for, in order. A site that configured directory
// agents (or whose settings fail closed) made them its authority: after
// them only its other sources, the hosts file and DNS, whatever the agents
// answered; never a name protocol that any LAN host can answer (LLMNR,
// NetBIOS, mDNS), nor the multicast group. Elsewhere the system's resolver,
// in its own order, then the group.
#include "netware/built_in.h"

int find_server(const char *name, const slp_settings *slp, net_address *addresses, int capacity)
{
    bool agents = slp_has_agents(slp);
    int count = agents ? slp_find_server(name, slp, addresses, capacity) : 0;
    if (count == 0)
        count = net_resolve(name, "524", agents, addresses, capacity);
    if (count == 0 && !agents)
        count = slp_find_server(name, slp, addresses, capacity);
    return count;
}

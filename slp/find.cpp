// The lookup: the URL of the server from whoever knows it (the multicast
// group and every configured directory agent), then its addresses from
// that agent. Requests go out again after growing waits, listing the
// agents that already answered so that they stay quiet; everything ends
// at the first usable answer, or after 2 seconds.
#include <cstdio>
#include <cstring>

#include "slp/slp.h"

static const uint16_t slp_port = 427;
static const uint32_t multicast_group = 0xEFFFFFFD; // 239.255.255.253
static const int64_t lookup_time_ms = 2000;
static const int64_t first_wait_ms = 500; // then 250 ms longer each time
static const int most_agents = 8;
static const int most_found = 16;

static net_socket udp = net_no_socket;
static uint16_t xid;
static int64_t deadline;
static net_address targets[1 + most_agents]; // the group, then the directory agents
static int target_count;
static char scopes[256];
static const int most_responders = 32;
static uint32_t responders[most_responders];
static int responder_count;
static uint8_t request[1400];
static uint8_t reply[65536];

// What the current question asks, and the answer it waits for.
static uint8_t asked;
static const char *target_text;
static const char *wanted;
static const char *looked_for;
static char url[256];
static net_address answered_by;
static uint32_t found[most_found];
static int found_count;

static bool is_group(const net_address *address)
{
    return net_ipv4_of(address) == multicast_group;
}

static bool responded(uint32_t address)
{
    for (int i = 0; i < responder_count; i++)
        if (responders[i] == address)
            return true;
    return false;
}

// An agent that answered without the answer is asked no more: by unicast
// not at all, by multicast through the previous-responder list.
static void note_responder(const net_address *agent)
{
    uint32_t address = net_ipv4_of(agent);
    if (!responded(address) && responder_count < most_responders)
        responders[responder_count++] = address;
}

// The previous-responder list: dotted addresses, comma-separated.
static const char *responder_list()
{
    static char list[most_responders * 16];
    size_t at = 0;
    list[0] = '\0';
    for (int i = 0; i < responder_count; i++) {
        uint32_t a = responders[i];
        at += (size_t)snprintf(list + at, sizeof list - at, "%s%u.%u.%u.%u", i ? "," : "",
                               a >> 24, a >> 16 & 0xFF, a >> 8 & 0xFF, a & 0xFF);
    }
    return list;
}

static size_t write_request(bool multicast)
{
    return slp_write_request(request, sizeof request, asked, xid, multicast,
                             multicast ? responder_list() : "", target_text, scopes, wanted);
}

// An answer too large for a datagram, asked for again over TCP from the
// same agent; its size, or 0.
static size_t fetch_over_tcp(const net_address *agent)
{
    net_address at;
    net_ipv4(net_ipv4_of(agent), slp_port, &at);
    size_t size = write_request(false);
    net_socket s = net_connect(&at);
    if (s == net_no_socket)
        return 0;
    size_t length = 0;
    if (net_wait(&s, 1, true, deadline) == 0 && net_connected(s) &&
        net_send_all(s, request, size, deadline) && net_recv_all(s, reply, 5, deadline)) {
        length = (size_t)reply[2] << 16 | (size_t)reply[3] << 8 | reply[4];
        if (length < 5 || length > sizeof reply ||
            !net_recv_all(s, reply + 5, length - 5, deadline))
            length = 0;
    }
    net_close(s);
    return length;
}

static bool usable(size_t size)
{
    if (asked == slp_service_request)
        return slp_read_service_reply(reply, size, xid, looked_for, url, sizeof url);
    found_count = slp_read_attribute_reply(reply, size, xid, found, most_found);
    return found_count > 0;
}

// One datagram from the network: true when it answers the question. An
// agent whose reply to it is of no use is noted; what replies to nothing
// of ours is not.
static bool take_reply(size_t size, const net_address *from)
{
    uint8_t answer = asked == slp_service_request ? slp_service_reply : slp_attribute_reply;
    bool overflowed;
    if (net_ipv4_of(from) == 0 || !slp_answers(reply, size, answer, xid, &overflowed))
        return false;
    if (overflowed)
        size = fetch_over_tcp(from);
    if (size == 0 || !usable(size)) {
        note_responder(from);
        return false;
    }
    answered_by = *from;
    return true;
}

// Sends the question to every target still to answer; true when at least
// one request left.
static bool send_round()
{
    bool sent = false;
    for (int i = 0; i < target_count; i++) {
        bool group = is_group(&targets[i]);
        if (!group && responded(net_ipv4_of(&targets[i])))
            continue;
        size_t size = write_request(group);
        sent |= size != 0 && net_send_to(udp, request, size, &targets[i]) == (long)size;
    }
    return sent;
}

static bool ask(uint8_t function, const char *target, const char *what)
{
    asked = function;
    target_text = target;
    wanted = what;
    xid++;
    responder_count = 0;
    int64_t wait = first_wait_ms;
    int64_t next_round = net_now();
    bool any_sent = false;
    for (;;) {
        int64_t now = net_now();
        if (now >= deadline)
            return false;
        if (now >= next_round) {
            any_sent |= send_round();
            if (!any_sent)
                return false; // nobody can be reached: nobody can answer
            next_round = now + wait;
            wait += 250;
            continue;
        }
        if (net_wait(&udp, 1, false, next_round < deadline ? next_round : deadline) < 0)
            continue;
        net_address from;
        long size = net_recv_from(udp, reply, sizeof reply, &from);
        if (size > 0 && take_reply((size_t)size, &from))
            return true;
    }
}

static void read_targets(const char *config_file)
{
    static char agents[512];
    slp_read_config(config_file, scopes, sizeof scopes, agents, sizeof agents);
    net_ipv4(multicast_group, slp_port, &targets[0]);
    target_count = 1;
    for (char *agent = strtok(agents, ","); agent && target_count <= most_agents;
         agent = strtok(nullptr, ",")) {
        net_address address[4];
        int count = net_resolve(agent, "427", address, 4);
        for (int i = 0; i < count; i++)
            if (net_ipv4_of(&address[i]) != 0) {
                targets[target_count++] = address[i];
                break;
            }
    }
}

int slp_find_server(const char *name, const char *config_file, net_address *addresses,
                    int capacity)
{
    udp = net_udp_open();
    if (udp == net_no_socket)
        return 0;
    deadline = net_now() + lookup_time_ms;
    xid = (uint16_t)net_now();
    looked_for = name;
    read_targets(config_file);
    int count = 0;
    if (ask(slp_service_request, "service:bindery.novell", "")) {
        net_ipv4(net_ipv4_of(&answered_by), slp_port, &targets[0]); // the agent that knows
        target_count = 1;
        if (ask(slp_attribute_request, url, "svcaddr-ws"))
            for (; count < found_count && count < capacity; count++)
                net_ipv4(found[count], 524, &addresses[count]);
    }
    net_close(udp);
    return count;
}

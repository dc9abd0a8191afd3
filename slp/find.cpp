// The lookup, as RFC 2608 has a user agent look: the directory agents,
// configured or discovered, by unicast only; the multicast group only when
// there are none, or none of them serves our scopes or answers within a
// second. A reply counts only from an agent that was asked by unicast, or,
// for the group's question, from whoever answers it; the addresses only
// from the agent that gave the URL. Every question has its own random XID.
// Requests go out again after waits that double; everything ends at the
// first usable answer, or after 2 seconds.
#include <cstdio>
#include <cstring>

#include "slp/slp.h"

static const uint16_t slp_port = 427;
static const uint32_t multicast_group = 0xEFFFFFFD; // 239.255.255.253
static const int64_t lookup_time_ms = 2000;
static const int64_t first_wait_ms = 500; // then twice as long each time
static const int64_t agents_time_ms = 1000;
static const int64_t tcp_time_ms = 500;
static const int most_agents = 8;
static const int most_found = 16;
static const int most_responders = 32;
static const char server_type[] = "service:bindery.novell";
static const char agent_type[] = "service:directory-agent";
static const uint16_t parse_error = 2;
// What a directory agent is asked in turn: the server's name by RFC 2608's
// operator, by old NetWare agents' one, then every server of the scope.
static const char *const dialects[] = {"=", "==", nullptr};

static net_socket udp = net_no_socket;
static int64_t deadline;
static char scopes[256];
static const char *looked_for;
static uint8_t request[1400];
static uint8_t reply[65536];

// The question, and how far it has gone.
static uint8_t asked;
static const char *target_text;
static const char *wanted;
static int64_t next_round;
static int64_t wait_ms;
static bool any_sent;

// The agents asked by unicast: directory agents, or the one that gave the
// URL. One that served the scope without the answer, or refused it, is
// asked no more.
enum agent_state : uint8_t { agent_asked, agent_served, agent_refused };
static net_address agents[most_agents];
static int agent_count;
static uint16_t agent_xid[most_agents];
static uint8_t agent_dialect[most_agents];
static agent_state agent_states[most_agents];
static bool any_served;
static int64_t agents_until;

// The group's question while it is asked, and directory-agent discovery.
static bool multicasting;
static uint16_t group_xid;
static uint32_t responders[most_responders];
static int responder_count;
static uint16_t discovery_xid;
static bool discovery_sent;

// An answer too large for its datagram, asked for again over TCP from the
// same agent, beside the datagrams.
static net_socket tcp = net_no_socket;
static bool tcp_connecting;
static int64_t tcp_until;
static uint8_t tcp_request[1400];
static size_t tcp_request_size;
static uint8_t tcp_reply[65536];
static size_t tcp_have;
static size_t tcp_need;
static uint16_t tcp_xid;
static uint32_t tcp_agent;

// The answer.
static char url[256];
static uint32_t answered_by;
static uint32_t found[most_found];
static int found_count;

static uint16_t new_xid()
{
    uint16_t xid;
    net_random(reinterpret_cast<uint8_t *>(&xid), sizeof xid);
    return xid != 0 ? xid : 1;
}

static int agent_of(uint32_t address)
{
    for (int i = 0; i < agent_count; i++)
        if (net_ipv4_of(&agents[i]) == address)
            return i;
    return -1;
}

static bool responded(uint32_t address)
{
    for (int i = 0; i < responder_count; i++)
        if (responders[i] == address)
            return true;
    return false;
}

static void note_responder(uint32_t address)
{
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

// The question as one agent (agent >= 0) or the group (-1) is asked it.
static size_t write_question(uint8_t *out, size_t capacity, int agent, bool multicast)
{
    char predicate[400];
    const char *what = wanted;
    if (agent >= 0 && asked == slp_service_request && dialects[agent_dialect[agent]]) {
        if (!slp_write_predicate(predicate, sizeof predicate, dialects[agent_dialect[agent]],
                                 looked_for))
            return 0;
        what = predicate;
    }
    return slp_write_request(out, capacity, asked, agent >= 0 ? agent_xid[agent] : group_xid,
                             multicast, multicast ? responder_list() : "", target_text, scopes,
                             what);
}

static bool send_to(size_t size, uint32_t address)
{
    net_address to;
    net_ipv4(address, slp_port, &to);
    return size != 0 && net_send_to(udp, request, size, &to) == (long)size;
}

static bool send_to_agent(int agent)
{
    return send_to(write_question(request, sizeof request, agent, false),
                   net_ipv4_of(&agents[agent]));
}

// Sends the question to the group, or to every agent still asked; true
// when at least one request left. An agent that cannot be reached counts
// as one that refused.
static bool send_round()
{
    if (multicasting) {
        bool sent = send_to(write_question(request, sizeof request, -1, true), multicast_group);
        if (discovery_xid != 0 && !discovery_sent) {
            discovery_sent = true;
            sent |= send_to(slp_write_request(request, sizeof request, slp_service_request,
                                              discovery_xid, true, "", agent_type, scopes, ""),
                            multicast_group);
        }
        return sent;
    }
    bool sent = false;
    for (int i = 0; i < agent_count; i++) {
        if (agent_states[i] != agent_asked)
            continue;
        if (send_to_agent(i))
            sent = true;
        else
            agent_states[i] = agent_refused;
    }
    return sent;
}

static void start_rounds(int64_t now)
{
    wait_ms = first_wait_ms;
    next_round = now;
    any_sent = false;
}

static void ask_group(int64_t now)
{
    multicasting = true;
    group_xid = new_xid();
    responder_count = 0;
    start_rounds(now);
}

static void ask_agent_anew(int agent)
{
    agent_xid[agent] = new_xid();
    agent_states[agent] = agent_asked;
}

static void ask_agents(int64_t now)
{
    multicasting = false;
    group_xid = 0;
    any_served = false;
    for (int i = 0; i < agent_count; i++) {
        agent_dialect[i] = 0;
        ask_agent_anew(i);
    }
    agents_until = now + agents_time_ms;
    start_rounds(now);
}

// A directory agent's advertisement, answering discovery: that agent is
// asked from now on, by unicast.
static void take_advert(size_t size, uint32_t from, int64_t now)
{
    if (!slp_read_agent_advert(reply, size, discovery_xid, scopes) || from == 0 ||
        agent_of(from) >= 0 || agent_count == most_agents)
        return;
    int agent = agent_count++;
    net_ipv4(from, slp_port, &agents[agent]);
    agent_dialect[agent] = 0;
    ask_agent_anew(agent);
    if (multicasting)
        ask_agents(now);
    else
        send_to_agent(agent);
}

static bool usable(const uint8_t *message, size_t size, uint16_t xid)
{
    if (asked == slp_service_request)
        return slp_read_service_reply(message, size, xid, looked_for, url, sizeof url);
    found_count = slp_read_attribute_reply(message, size, xid, found, most_found);
    return found_count > 0;
}

static void close_tcp()
{
    net_close(tcp);
    tcp = net_no_socket;
}

static void start_tcp(uint32_t agent_address, int agent, uint16_t xid, int64_t now)
{
    if (tcp != net_no_socket)
        return;
    tcp_request_size = write_question(tcp_request, sizeof tcp_request, agent, false);
    net_address at;
    net_ipv4(agent_address, slp_port, &at);
    tcp = tcp_request_size != 0 ? net_connect(&at) : net_no_socket;
    tcp_connecting = true;
    tcp_until = now + tcp_time_ms < deadline ? now + tcp_time_ms : deadline;
    tcp_have = 0;
    tcp_need = 5; // as far as the length
    tcp_xid = xid;
    tcp_agent = agent_address;
}

// One step of the TCP exchange once its socket is ready: true when the
// whole reply is in and answers the question.
static bool step_tcp()
{
    if (tcp_connecting) {
        tcp_connecting = false;
        if (!net_connected(tcp) || !net_send_all(tcp, tcp_request, tcp_request_size, tcp_until))
            close_tcp();
        return false;
    }
    long n = net_recv(tcp, tcp_reply + tcp_have, tcp_need - tcp_have);
    if (n == net_again)
        return false;
    if (n <= 0) {
        close_tcp();
        return false;
    }
    tcp_have += (size_t)n;
    if (tcp_need == 5 && tcp_have == 5) {
        tcp_need = (size_t)tcp_reply[2] << 16 | (size_t)tcp_reply[3] << 8 | tcp_reply[4];
        if (tcp_need <= 5 || tcp_need > sizeof tcp_reply) {
            close_tcp();
            return false;
        }
    }
    if (tcp_have < tcp_need)
        return false;
    close_tcp();
    if (!usable(tcp_reply, tcp_need, tcp_xid))
        return false;
    answered_by = tcp_agent;
    return true;
}

// An agent's reply without the answer: a directory agent that served the
// scope or could not read the predicate is asked by the next dialect, and
// by none once all are spent.
static void note_agent(int agent, int error)
{
    if (error == 0)
        any_served = true;
    bool next_dialect = asked == slp_service_request && dialects[agent_dialect[agent]] &&
                        (error == 0 || error == parse_error);
    if (!next_dialect) {
        agent_states[agent] = error == 0 ? agent_served : agent_refused;
        return;
    }
    agent_dialect[agent]++;
    ask_agent_anew(agent);
    if (!send_to_agent(agent))
        agent_states[agent] = agent_refused;
}

// One datagram from the network: true when it answers the question. The
// whole URL entries of a reply that did not fit are tried before TCP is.
static bool take_datagram(size_t size, uint32_t from, int64_t now)
{
    if (from == 0)
        return false;
    if (discovery_xid != 0)
        take_advert(size, from, now);
    uint8_t answer = asked == slp_service_request ? slp_service_reply : slp_attribute_reply;
    int agent = agent_of(from);
    bool overflowed = false;
    uint16_t xid = agent >= 0 ? agent_xid[agent] : 0;
    int error = agent >= 0 ? slp_reply_status(reply, size, answer, xid, &overflowed) : -1;
    if (error < 0) {
        agent = -1;
        xid = group_xid;
        error = group_xid != 0 ? slp_reply_status(reply, size, answer, xid, &overflowed) : -1;
    }
    if (error < 0)
        return false;
    if (error == 0 && usable(reply, size, xid)) {
        answered_by = from;
        return true;
    }
    if (error == 0 && overflowed)
        start_tcp(from, agent, xid, now);
    if (agent >= 0)
        note_agent(agent, error);
    else
        note_responder(from);
    return false;
}

// Directory agents that have all answered without the server end the
// lookup; when none has served the scope in its time, the group is asked.
// The agent that gave the URL is waited for until the end: what looks like
// its reply may be forged.
static bool agents_spent(int64_t now, bool group_allowed, bool *give_up)
{
    bool all_done = true;
    for (int i = 0; i < agent_count; i++)
        all_done &= agent_states[i] != agent_asked;
    *give_up = group_allowed && all_done && any_served;
    return group_allowed && !any_served && (all_done || now >= agents_until);
}

static bool ask(uint8_t function, const char *target, const char *what, bool group_allowed)
{
    if (tcp != net_no_socket)
        close_tcp(); // what it would bring answers the question before
    asked = function;
    target_text = target;
    wanted = what;
    int64_t now = net_now();
    if (agent_count > 0)
        ask_agents(now);
    else
        ask_group(now);
    for (;;) {
        now = net_now();
        bool give_up = false;
        if (!multicasting && agents_spent(now, group_allowed, &give_up)) {
            discovery_xid = 0;
            ask_group(now);
        }
        if (give_up || now >= deadline)
            return false;
        if (tcp != net_no_socket && now >= tcp_until)
            close_tcp();
        if (now >= next_round) {
            bool sent = send_round();
            any_sent |= sent;
            if (multicasting && !any_sent)
                return false; // nobody can be reached: nobody can answer
            next_round = now + wait_ms;
            wait_ms *= 2;
            continue;
        }
        net_socket sockets[2] = {udp, tcp};
        int64_t until = next_round < deadline ? next_round : deadline;
        if (tcp != net_no_socket && tcp_until < until)
            until = tcp_until;
        int ready = net_wait(sockets, tcp != net_no_socket ? 2 : 1, tcp_connecting ? 2 : 0, until);
        if (ready == 1 && step_tcp())
            return true;
        if (ready != 0)
            continue;
        net_address from;
        long size = net_recv_from(udp, reply, sizeof reply, &from);
        if (size > 0 && take_datagram((size_t)size, net_ipv4_of(&from), now))
            return true;
    }
}

// The configured directory agents, resolved before the lookup's time
// starts: numeric addresses at once, names as the resolver's own settings
// bound it.
static void resolve_agents(const char *list)
{
    static char names[512];
    agent_count = 0;
    if (!slp_tidy_list(list, names, sizeof names))
        return;
    for (char *name = strtok(names, ","); name && agent_count < most_agents;
         name = strtok(nullptr, ",")) {
        net_address address[4];
        int count = net_resolve(name, "427", address, 4);
        for (int i = 0; i < count; i++)
            if (net_ipv4_of(&address[i]) != 0 && agent_of(net_ipv4_of(&address[i])) < 0) {
                net_ipv4(net_ipv4_of(&address[i]), slp_port, &agents[agent_count++]);
                break;
            }
    }
}

int slp_find_server(const char *name, const char *scope_list, const char *agent_list,
                    net_address *addresses, int capacity)
{
    if (!slp_tidy_list(scope_list, scopes, sizeof scopes) || scopes[0] == '\0')
        snprintf(scopes, sizeof scopes, "DEFAULT");
    resolve_agents(agent_list);
    udp = net_udp_open();
    if (udp == net_no_socket)
        return 0;
    deadline = net_now() + lookup_time_ms;
    looked_for = name;
    discovery_xid = agent_count == 0 ? new_xid() : 0;
    discovery_sent = false;
    int count = 0;
    if (ask(slp_service_request, server_type, "", true)) {
        // The attribute request to the agent that knows, and to it alone.
        discovery_xid = 0;
        agent_count = 1;
        net_ipv4(answered_by, slp_port, &agents[0]);
        if (ask(slp_attribute_request, url, "svcaddr-ws", false))
            for (; count < found_count && count < capacity; count++)
                net_ipv4(found[count], 524, &addresses[count]);
    }
    if (tcp != net_no_socket)
        close_tcp();
    net_close(udp);
    return count;
}

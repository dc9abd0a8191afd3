// The lookup, as RFC 2608 has a user agent look, kept as a timeline of
// peers: each party asked (a directory agent, the multicast group,
// directory-agent discovery, an agent asked by unicast for a whole answer
// or for the addresses) is one record with its address, XID, question
// form, state and the time it is next due. A datagram is first read
// without side effects, then applied to its peer's record alone; requests
// leave in one place; one verdict says, from the same records, whether the
// lookup has its answer, gives up, or when it wakes next.
//
// Directory agents that the site configured are its authority: they alone
// are asked, whatever they answer. Without them the group is asked, beside
// discovery and the agents it finds. A reply counts only from its peer
// (address and XID; any address for the group's and discovery's XIDs);
// the addresses only from the agent that gave the URL. Everything ends at
// the first usable answer, once no peer is left to hear from, or after 2
// seconds.
#include <cstdio>
#include <cstring>

#include "slp/slp.h"

static const uint16_t slp_port = 427;
static const uint32_t multicast_group = 0xEFFFFFFD; // 239.255.255.253
static const int64_t lookup_time_ms = 2000;
static const int64_t first_wait_ms = 500; // then twice as long each time
static const int64_t tcp_time_ms = 500;
static const int64_t resolving_time_ms = 1000;
static const int most_agents = 8;
static const int most_peers = 2 * most_agents + 4; // an agent is asked two forms
static const int most_found = 16;
static const int most_responders = 32;
static const char server_type[] = "service:bindery.novell";
static const char agent_type[] = "service:directory-agent";
static const uint16_t parse_error = 2, busy_now = 11;
// What a directory agent is asked for the server: its name by RFC 2608's
// operator and by old NetWare agents' one, both at once, each a peer of
// its own; only when it refused both as a parse error, the question as the
// group is asked it (every server of the scope). Every other peer is asked
// the question as written.
static const char *const forms[] = {"=", "==", nullptr};
static const uint8_t as_written = 2;

// Replies as they arrive: datagrams, and an answer over TCP.
static uint8_t datagram[65536];
static uint8_t stream[65536];

enum peer_kind : uint8_t { unicast_peer, group_peer, discovery_peer };
// refused: a form the agent could not parse; finished, as far as the
// verdict goes.
enum peer_state : uint8_t { to_ask, asked, fetching, finished, refused, answered };

struct peer {
    uint32_t address;
    uint16_t xid;
    peer_kind kind;
    uint8_t form;
    peer_state state;
    int64_t due;  // asked (again) then, or its TCP exchange given up
    int64_t wait; // after the next request, until it is asked again
    bool any_port; // an agent that answered the group: its replies, from any port
};

// A service request for the server's URL, or an attribute request for its
// addresses.
struct question {
    uint8_t function;
    const char *target; // service type or URL
    const char *wanted; // predicate or tag list, as written
    const char *name;
    const char *scopes;
};

struct responders {
    uint32_t address[most_responders];
    int count;
};

struct lookup {
    question q;
    net_socket udp;
    int64_t until;
    peer peers[most_peers];
    int count;
    responders heard[2]; // by the group's and by discovery's question
    // One answer too large for its datagram, asked for again over TCP.
    net_socket tcp;
    int tcp_peer;
    bool connecting;
    size_t have, need;
    // The answer.
    uint32_t answerer;
    bool by_group;
    char url[256];
    uint32_t found[most_found];
    int found_count;
};

// What one reply says to its peer.
struct hearing {
    int peer; // -1: to none
    bool advert;
    int error;
    bool overflowed;
    bool usable;
    char url[256];
    uint32_t found[most_found];
    int found_count;
};

// A fresh, non-zero XID for the peer's next question (a zero is drawn
// again); a random source that fails leaves it unasked.
static void renew(peer *p)
{
    bool drawn = true;
    p->xid = 0;
    for (int i = 0; drawn && p->xid == 0 && i < 4; i++)
        drawn = net_random(reinterpret_cast<uint8_t *>(&p->xid), sizeof p->xid);
    if (!drawn || p->xid == 0)
        p->state = finished;
}

static void add_peer(lookup *l, peer_kind kind, uint32_t address, uint8_t form, int64_t now)
{
    if (l->count == most_peers)
        return;
    peer *p = &l->peers[l->count++];
    *p = {address, 0, kind, form, to_ask, now, first_wait_ms, false};
    renew(p);
}

// A directory agent, by both forms of the name at once.
static void add_agent(lookup *l, uint32_t address, int64_t now)
{
    add_peer(l, unicast_peer, address, 0, now);
    add_peer(l, unicast_peer, address, 1, now);
}

static bool done(const peer *p)
{
    return p->state == finished || p->state == refused;
}

// Whether the agent refused the other form of the name too.
static bool refused_both(const lookup *l, const peer *p)
{
    for (int i = 0; i < l->count; i++) {
        const peer *other = &l->peers[i];
        if (other != p && other->kind == unicast_peer && other->address == p->address &&
            other->state == refused)
            return true;
    }
    return false;
}

static bool is_peer(const lookup *l, uint32_t address)
{
    for (int i = 0; i < l->count; i++)
        if (l->peers[i].kind == unicast_peer && l->peers[i].address == address)
            return true;
    return false;
}

static void note(responders *list, uint32_t address)
{
    for (int i = 0; i < list->count; i++)
        if (list->address[i] == address)
            return;
    if (list->count < most_responders)
        list->address[list->count++] = address;
}

// The previous-responder list: dotted addresses, comma-separated.
static void write_responders(const responders *list, char *out, size_t capacity)
{
    size_t at = 0;
    out[0] = '\0';
    for (int i = 0; i < list->count; i++) {
        uint32_t a = list->address[i];
        at += (size_t)snprintf(out + at, capacity - at, "%s%u.%u.%u.%u", i ? "," : "", a >> 24,
                               a >> 16 & 0xFF, a >> 8 & 0xFF, a & 0xFF);
    }
}

// The peer's request: by unicast, or to the group with its responders.
static size_t write_question(const lookup *l, const peer *p, uint8_t *out, size_t capacity)
{
    char predicate[400], list[most_responders * 16] = "";
    const char *what = l->q.wanted;
    if (forms[p->form]) {
        if (!slp_write_predicate(predicate, sizeof predicate, forms[p->form], l->q.name))
            return 0;
        what = predicate;
    }
    bool multicast = p->kind != unicast_peer;
    if (multicast)
        write_responders(&l->heard[p->kind - group_peer], list, sizeof list);
    return slp_write_request(out, capacity, l->q.function, p->xid, multicast, list,
                             p->kind == discovery_peer ? agent_type : l->q.target, l->q.scopes,
                             p->kind == discovery_peer ? "" : what);
}

// What the reply says to peer i; false when it is not that peer's reply.
static bool read_reply(const lookup *l, int i, const uint8_t *reply, size_t size, hearing *h)
{
    const peer *p = &l->peers[i];
    h->peer = i;
    if (p->kind == discovery_peer)
        return (h->advert = slp_read_agent_advert(reply, size, p->xid, l->q.scopes));
    h->error = slp_reply_status(reply, size, (uint8_t)(l->q.function + 1), p->xid, &h->overflowed);
    if (h->error != 0)
        return h->error > 0;
    if (l->q.function == slp_service_request)
        h->usable = slp_read_service_reply(reply, size, p->xid, l->q.name, h->url, sizeof h->url);
    else
        h->usable = (h->found_count = slp_read_attribute_reply(reply, size, p->xid, h->found,
                                                               most_found)) > 0;
    return true;
}

// Whose reply a datagram is, among the peers waiting for one, and what it
// says; no peer's when none asked it. A directory agent answers from the
// port it was asked on: where the agent is the desk itself, another user
// there can send from its address too, but on Linux not from a port below
// 1024. An agent that answered the group may answer from any port, as it
// did there: whoever could send from its address could answer the group.
static void classify(const lookup *l, const uint8_t *reply, size_t size, uint32_t from,
                     uint16_t port, hearing *h)
{
    for (int i = 0; i < l->count && from != 0; i++) {
        const peer *p = &l->peers[i];
        *h = {};
        if (p->state == asked &&
            (p->kind != unicast_peer ||
             (p->address == from && (port == slp_port || p->any_port))) &&
            read_reply(l, i, reply, size, h))
            return;
    }
    h->peer = -1;
}

static void hear_no_more(const lookup *l, peer *p)
{
    p->state = l->q.function == slp_service_request ? finished : asked;
}

static void ask_again(peer *p, uint8_t form, int64_t due)
{
    p->form = form;
    p->state = to_ask;
    p->due = due;
    renew(p);
}

// A reply's effect on its peer's record, and on nothing else but the
// answer, the responder lists and the peers that it brings. A directory
// agent's form that served the scope without the server is finished; one
// it could not parse is refused, and once both are, the agent is asked the
// question as written. A form that was busy, or whose answer overflowed
// while another is fetched over TCP, is asked again when it is due. The
// agent that gave the URL is heard until the bound, whatever else
// it seems to say: a failure may be forged.
static void apply(lookup *l, const hearing *h, uint32_t from, int64_t now)
{
    peer *p = &l->peers[h->peer];
    bool fetch = h->error == 0 && h->overflowed && l->tcp_peer < 0;
    // An agent whose answer overflowed while TCP is taken is not listed as
    // a responder: the group's next round asks it again.
    if (p->kind != unicast_peer && (fetch || !h->overflowed || h->usable))
        note(&l->heard[p->kind - group_peer], from);
    if (h->advert) {
        if (!is_peer(l, from) && l->count + 2 < most_peers) // room left for a TCP exchange
            add_agent(l, from, now);
        return;
    }
    if (h->usable) {
        p->state = answered;
        l->answerer = from;
        l->by_group = p->kind == group_peer || p->any_port;
        memcpy(l->url, h->url, sizeof l->url);
        memcpy(l->found, h->found, sizeof l->found);
        l->found_count = h->found_count;
        return;
    }
    if (p->kind == group_peer) {
        // The agent that answered is asked over TCP, beside the group.
        if (!fetch || is_peer(l, from) || l->count == most_peers)
            return;
        uint16_t xid = p->xid;
        add_peer(l, unicast_peer, from, as_written, now);
        p = &l->peers[l->count - 1];
        p->xid = xid;
        p->any_port = true;
    }
    if (fetch) {
        p->state = fetching;
        p->due = now + tcp_time_ms < l->until ? now + tcp_time_ms : l->until;
        l->tcp_peer = (int)(p - l->peers);
    } else if (h->error == busy_now || (h->error == 0 && h->overflowed)) {
        ask_again(p, p->form, p->due);
    } else if (forms[p->form] && h->error == parse_error && refused_both(l, p)) {
        ask_again(p, as_written, now);
        p->wait = first_wait_ms;
    } else if (forms[p->form] && h->error == parse_error) {
        p->state = refused;
    } else {
        hear_no_more(l, p);
    }
}

static void end_tcp(lookup *l)
{
    if (l->tcp != net_no_socket)
        net_close(l->tcp);
    l->tcp = net_no_socket;
    l->tcp_peer = -1;
}

// An exchange that ended without a whole reply: as an answer without the
// server.
static void tcp_failed(lookup *l)
{
    hear_no_more(l, &l->peers[l->tcp_peer]);
    end_tcp(l);
}

static bool start_tcp(lookup *l)
{
    net_address at;
    net_ipv4(l->peers[l->tcp_peer].address, slp_port, &at);
    l->tcp = net_connect(&at);
    l->connecting = true;
    l->have = 0;
    l->need = 5; // as far as the length
    return l->tcp != net_no_socket;
}

static bool send_to(const lookup *l, const peer *p)
{
    uint8_t request[1400];
    size_t size = write_question(l, p, request, sizeof request);
    net_address to;
    net_ipv4(p->kind == unicast_peer ? p->address : multicast_group, slp_port, &to);
    return size != 0 && net_send_to(l->udp, request, size, &to) == (long)size;
}

// Every peer whose time has come is asked (again), or its TCP exchange is
// started or given up. A peer that cannot be reached is finished.
static void send_due(lookup *l, int64_t now)
{
    if (l->tcp_peer >= 0 && l->tcp == net_no_socket && !start_tcp(l))
        tcp_failed(l);
    for (int i = 0; i < l->count; i++) {
        peer *p = &l->peers[i];
        if (p->due > now || done(p) || p->state == answered)
            continue;
        if (p->state == fetching) {
            tcp_failed(l);
        } else if (send_to(l, p)) {
            p->state = asked;
            p->due = now + p->wait;
            p->wait *= 2;
        } else {
            p->state = finished;
        }
    }
}

enum outcome { searching, found, given_up };

// The one verdict: found, given up (once the bound has passed or no peer
// is left to hear from), or searching until the time returned: the
// earliest that any peer is due, or the bound.
static int64_t verdict(const lookup *l, int64_t now, outcome *result)
{
    int64_t wake = l->until;
    bool waiting = false;
    for (int i = 0; i < l->count; i++) {
        const peer *p = &l->peers[i];
        if (p->state == answered) {
            *result = found;
            return now;
        }
        if (!done(p)) {
            waiting = true;
            wake = p->due < wake ? p->due : wake;
        }
    }
    *result = waiting && now < l->until ? searching : given_up;
    return wake;
}

// One step of the TCP exchange once its socket is ready.
static void step_tcp(lookup *l, int64_t now)
{
    if (l->connecting) {
        uint8_t request[1400];
        size_t size = write_question(l, &l->peers[l->tcp_peer], request, sizeof request);
        l->connecting = false;
        if (size == 0 || !net_connected(l->tcp) ||
            !net_send_all(l->tcp, request, size, l->peers[l->tcp_peer].due))
            tcp_failed(l);
        return;
    }
    long n = net_recv(l->tcp, stream + l->have, l->need - l->have);
    if (n == net_again)
        return;
    l->have += n > 0 ? (size_t)n : 0;
    if (n > 0 && l->need == 5 && l->have == 5)
        l->need = (size_t)stream[2] << 16 | (size_t)stream[3] << 8 | stream[4];
    if (n <= 0 || (l->have == 5 && l->need <= 5) || l->need > sizeof stream) {
        tcp_failed(l);
        return;
    }
    if (l->have < l->need)
        return;
    // A reply over TCP is whole: it is not fetched again.
    hearing h = {};
    read_reply(l, l->tcp_peer, stream, l->need, &h);
    h.overflowed = false;
    end_tcp(l);
    apply(l, &h, l->peers[h.peer].address, now);
}

static void take_datagram(lookup *l, int64_t now)
{
    net_address from;
    long size = net_recv_from(l->udp, datagram, sizeof datagram, &from);
    hearing h;
    if (size > 0)
        classify(l, datagram, (size_t)size, net_ipv4_of(&from), net_port_of(&from), &h);
    if (size > 0 && h.peer >= 0)
        apply(l, &h, net_ipv4_of(&from), now);
}

static bool run(lookup *l)
{
    for (;;) {
        int64_t now = net_now();
        send_due(l, now);
        outcome result;
        int64_t wake = verdict(l, now, &result);
        if (result != searching) {
            end_tcp(l);
            return result == found;
        }
        net_socket sockets[2] = {l->udp, l->tcp};
        int ready = net_wait(sockets, l->tcp != net_no_socket ? 2 : 1, l->connecting ? 2 : 0,
                             wake);
        if (ready == 1)
            step_tcp(l, net_now());
        else if (ready == 0)
            take_datagram(l, net_now());
    }
}

static void start(lookup *l, const question &q, net_socket udp, int64_t until)
{
    *l = {};
    l->q = q;
    l->udp = udp;
    l->until = until;
    l->tcp = net_no_socket;
    l->tcp_peer = -1;
}

// The configured agents, before the lookup's time starts: dotted addresses
// as written, names by the hosts file and DNS alone (never a LAN host's
// answer), until resolving has taken a second. Each IPv4 address of a name
// is an agent: the site's DNS may list several.
static void add_agents(lookup *l, const char *list)
{
    char names[sizeof slp_settings::agents];
    int64_t started = net_now();
    slp_tidy_list(list, names, sizeof names);
    for (char *name = strtok(names, ","); name && l->count < 2 * most_agents;
         name = strtok(nullptr, ",")) {
        net_address address[4];
        uint32_t a;
        int count = 0;
        if (net_dotted(name, &a))
            net_ipv4(a, slp_port, &address[count++]);
        else if (net_now() - started < resolving_time_ms)
            count = net_resolve(name, "427", true, address, 4);
        for (int i = 0; i < count && l->count < 2 * most_agents; i++) {
            a = net_ipv4_of(&address[i]);
            if (a != 0 && !is_peer(l, a))
                add_agent(l, a, 0);
        }
    }
}

bool slp_has_agents(const slp_settings *settings)
{
    char agents[sizeof settings->agents];
    return settings->unreadable || !slp_tidy_list(settings->agents, agents, sizeof agents) ||
           agents[0] != '\0';
}

int slp_find_server(const char *name, const slp_settings *settings, net_address *addresses,
                    int capacity)
{
    if (settings->unreadable)
        return 0;
    lookup service, attributes;
    char scopes[sizeof settings->scopes];
    if (!slp_tidy_list(settings->scopes, scopes, sizeof scopes) || scopes[0] == '\0')
        snprintf(scopes, sizeof scopes, "DEFAULT");
    start(&service, {slp_service_request, server_type, "", name, scopes}, net_no_socket, 0);
    if (slp_has_agents(settings)) {
        add_agents(&service, settings->agents);
    } else {
        add_peer(&service, group_peer, 0, as_written, 0);
        add_peer(&service, discovery_peer, 0, as_written, 0);
    }
    service.udp = net_udp_open();
    service.until = net_now() + lookup_time_ms;
    int count = 0;
    if (service.udp != net_no_socket && run(&service)) {
        // The attribute request to the agent that knows, and to it alone.
        start(&attributes, {slp_attribute_request, service.url, "svcaddr-ws", name, scopes},
              service.udp, service.until);
        add_peer(&attributes, unicast_peer, service.answerer, as_written, net_now());
        attributes.peers[0].any_port = service.by_group;
        if (run(&attributes))
            for (; count < attributes.found_count && count < capacity; count++)
                net_ipv4(attributes.found[count], 524, &addresses[count]);
    }
    if (service.udp != net_no_socket)
        net_close(service.udp);
    return count;
}

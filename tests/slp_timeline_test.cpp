// Finding a server, the SLP lookup over a scripted network: the sockets,
// resolver, random source and clock of net/net.h are played here. Each row
// is a script of replies (at t ms, from whom, saying what, to the latest
// request that peer or the group got) and the requests the lookup must
// send, in order, with its outcome and the time it ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "netware/built_in.h"
#include "slp/slp.h"
#include "tests/slp_messages.h"

namespace {

const uint32_t group = 0xEFFFFFFD, da1 = 0x7F000005, da2 = 0x7F000006, agent = 0x0A000007,
               rogue = 0x0A000009;

// U the server's URL (F: from another port of that address), E no URL, e
// an error code, O an overflowed answer without the server (o: whose TCP
// exchange stays silent, t: whose TCP reply comes a byte at a time), A a
// directory agent's advert, V the addresses (W: from another port).
struct event {
    int64_t at;
    uint32_t from;
    char says;
    int error = 0;
};

int64_t clock_ms;
bool random_fails, zero_first, in_hosts, lan;
uint16_t last_xid;
std::vector<event> script;
size_t next_event;
std::map<std::string, uint16_t> latest; // the XID of the latest request, by "to form"
uint16_t last_request;
std::vector<std::string> pending; // the replies of the event being read
std::string log, tcp_reply;
uint32_t tcp_to;
char tcp_says; // of the reply heard last: 'o' and 't' shape the TCP exchange

std::string dotted(uint32_t a)
{
    return a == group ? "group"
                      : std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xFF) + "." +
                            std::to_string(a >> 8 & 0xFF) + "." + std::to_string(a & 0xFF);
}

// Logs a request as "t to form [responders]" and keeps its XID.
void take_request(uint32_t to, const uint8_t *bytes, size_t size, const char *via)
{
    std::string r(reinterpret_cast<const char *>(bytes), size), strings[5];
    for (size_t at = 14 + (uint8_t)r[13], i = 0; i < 5; at += 2 + strings[i++].size())
        strings[i] = r.substr(at + 2, (size_t)((uint8_t)r[at] << 8 | (uint8_t)r[at + 1]));
    std::string kind = r[1] == 6 ? "attr" : strings[1] == "service:directory-agent" ? "da" : "srv";
    std::string form = kind != "srv"                  ? kind
                       : strings[3].empty()           ? "*"
                       : strings[3].find("==") != std::string::npos ? "=="
                                                                    : "=";
    latest[dotted(to) + form] = last_request = (uint16_t)((uint8_t)r[10] << 8 | (uint8_t)r[11]);
    log += (log.empty() ? "" : ", ") + std::to_string(clock_ms) + via + dotted(to) + " " + form +
           (strings[0].empty() ? "" : " " + strings[0]);
}

std::string with_xid(std::string reply, uint16_t xid)
{
    reply[10] = (char)(xid >> 8);
    reply[11] = (char)xid;
    return reply;
}

const std::string fs = "service:bindery.novell:///FS";

// The replies, to the latest requests they can answer: the sender's, one
// for each form it was asked, else the group's.
std::vector<std::string> replies(const event &e)
{
    std::vector<std::string> forms = {"attr"}, out;
    if (e.says == 'A')
        forms = {"da"};
    else if (e.says != 'V' && e.says != 'W')
        forms = {"=", "==", "*"};
    tcp_says = e.says;
    std::string body = e.says == 'U' || e.says == 'F' ? urls(entry(fs + "1"))
                       : e.says == 'E'                ? urls("", 0)
                       : e.says == 'e'                ? urls("", 0, (char)e.error)
                       : e.says == 'A'                ? advert(up, "DEFAULT")
                       : e.says == 'V' || e.says == 'W' ? attributes("(svcaddr-ws=2-1-6-7F000002020C)")
                                       : overflowed(entry(fs + "2") + entry(fs + "3"), 60);
    for (const std::string &form : forms)
        if (latest.count(dotted(e.from) + form))
            out.push_back(with_xid(body, latest[dotted(e.from) + form]));
    if (out.empty())
        out.push_back(with_xid(body, latest["group" + forms.back()]));
    return out;
}

struct timeline_case {
    const char *name;
    const char *agents; // configured; null: settings that cannot be read
    std::vector<event> heard;
    const char *requests;
    const char *outcome;
    bool random_fails = false;
    bool zero_first = false; // the first XID drawn
    bool in_hosts = false;   // FS1 in the hosts file, as 127.0.0.3
};

const timeline_case timeline_cases[] = {
    {"no agent answers: the group and discovery again with their responders", "",
     {{1, agent, 'E'}, {2, da1, 'A'}},
     "0 group *, 0 group da, 2 127.0.0.5 =, 2 127.0.0.5 ==, 500 group * 10.0.0.7, "
     "500 group da 127.0.0.5, 502 127.0.0.5 =, 502 127.0.0.5 ==, 1500 group * 10.0.0.7, "
     "1500 group da 127.0.0.5, 1502 127.0.0.5 =, 1502 127.0.0.5 ==",
     "none at 2000"},
    {"agents that all answered without the server or refused: it ends at once, the group never "
     "asked", "127.0.0.5, 127.0.0.6", {{1, da1, 'E'}, {1, da2, 'e', 10}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==, 0 127.0.0.6 =, 0 127.0.0.6 ==", "none at 1"},
    {"a busy agent asked again, then answering", "127.0.0.5",
     {{1, da1, 'e', 11}, {501, da1, 'U'}, {502, da1, 'V'}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==, 500 127.0.0.5 =, 500 127.0.0.5 ==, 501 127.0.0.5 attr",
     "found 127.0.0.2 at 502"},
    {"agent names that do not resolve", "nowhere,slow.example", {{1, rogue, 'U'}}, "",
     "none at 600"},
    {"a name with two addresses: two agents", "pair", {{1, da2, 'U'}, {2, da2, 'V'}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==, 0 127.0.0.6 =, 0 127.0.0.6 ==, 1 127.0.0.6 attr",
     "found 127.0.0.2 at 2"},
    {"names resolved for a second, dotted addresses after it, 10.0.0.256 a name",
     "slow1,slow2,slow3,10.0.0.256,127.0.0.5",
     {{1201, da1, 'U'}, {1202, da1, 'V'}},
     "1200 127.0.0.5 =, 1200 127.0.0.5 ==, 1201 127.0.0.5 attr",
     "found 127.0.0.2 at 1202"},
    {"an agent answering from another port (another user of the desk), so silent: asked "
     "again until the bound, the group never", "127.0.0.5",
     {{1, da1, 'F'}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==, 500 127.0.0.5 =, 500 127.0.0.5 ==, 1500 127.0.0.5 =, "
     "1500 127.0.0.5 ==",
     "none at 2000"},
    {"the agent's addresses from another port", "127.0.0.5", {{1, da1, 'U'}, {2, da1, 'W'}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==, 1 127.0.0.5 attr, 501 127.0.0.5 attr, 1501 127.0.0.5 attr",
     "none at 2000"},
    {"a group answer and its addresses from another port, as the agent answers", "",
     {{1, agent, 'F'}, {2, agent, 'W'}}, "0 group *, 0 group da, 1 10.0.0.7 attr",
     "found 127.0.0.2 at 2"},
    {"settings that cannot be read", nullptr, {{1, rogue, 'U'}}, "", "none at 0"},
    {"a discovered agent's empty answers beside the group's answer", "",
     {{1, da1, 'A'}, {2, da1, 'E'}, {20, agent, 'U'}, {21, agent, 'V'}},
     "0 group *, 0 group da, 1 127.0.0.5 =, 1 127.0.0.5 ==, 20 10.0.0.7 attr",
     "found 127.0.0.2 at 21"},
    {"a discovered agent silent while the group answers", "",
     {{1, da1, 'A'}, {30, agent, 'U'}, {31, agent, 'V'}},
     "0 group *, 0 group da, 1 127.0.0.5 =, 1 127.0.0.5 ==, 30 10.0.0.7 attr",
     "found 127.0.0.2 at 31"},
    {"both forms refused, every server, fetched over TCP a byte at a time", "127.0.0.5",
     {{1, da1, 'e', 2}, {2, da1, 't'}, {3, da1, 'V'}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==, 1 127.0.0.5 *, 2 tcp 127.0.0.5 *, 2 127.0.0.5 attr",
     "found 127.0.0.2 at 3"},
    {"a silent TCP exchange: its agent heard until TCP's bound", "127.0.0.5",
     {{1, da1, 'e', 2}, {2, da1, 'o'}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==, 1 127.0.0.5 *, 2 tcp 127.0.0.5 *", "none at 502"},
    {"a second overflowed answer while TCP is taken: asked again when due", "127.0.0.5,127.0.0.6",
     {{1, da1, 'e', 2}, {1, da2, 'e', 2}, {3, da1, 'o'}, {4, da2, 'O'}, {504, da2, 'O'},
      {505, da2, 'V'}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==, 0 127.0.0.6 =, 0 127.0.0.6 ==, 1 127.0.0.5 *, "
     "1 127.0.0.6 *, 3 tcp 127.0.0.5 *, 501 127.0.0.6 *, 504 tcp 127.0.0.6 *, 504 127.0.0.6 attr",
     "found 127.0.0.2 at 505"},
    {"an overflowed group answer while TCP is taken: its agent asked again, then fetched "
     "from over TCP", "",
     {{1, agent, 'o'}, {2, rogue, 'O'}, {502, rogue, 'O'}, {503, rogue, 'V'}},
     "0 group *, 0 group da, 1 tcp 10.0.0.7 *, 500 group * 10.0.0.7, 500 group da, "
     "502 tcp 10.0.0.9 *, 502 10.0.0.9 attr",
     "found 127.0.0.2 at 503"},
    {"a random source that fails", "", {{1, agent, 'U'}}, "", "none at 0", true},
    {"a zero XID drawn again", "127.0.0.5", {{1, da1, 'U'}, {2, da1, 'V'}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==, 1 127.0.0.5 attr", "found 127.0.0.2 at 2", false, true},
    {"a failed agent, the server in the hosts file", "127.0.0.5", {{1, da1, 'E'}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==", "found 127.0.0.3 at 1", false, false, true},
    {"a failed agent, the server in no trusted source", "127.0.0.5", {{1, da1, 'e', 10}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==", "none at 1"},
    {"a single-label agent name", "slpda", {{1, da1, 'U'}, {2, da1, 'V'}},
     "0 127.0.0.5 =, 0 127.0.0.5 ==, 1 127.0.0.5 attr", "found 127.0.0.2 at 2"},
};

void PrintTo(const timeline_case &c, std::ostream *out)
{
    *out << c.name;
}

class slp_timeline : public ::testing::TestWithParam<timeline_case> {};

TEST_P(slp_timeline, asks_whom_it_may_and_ends_when_the_records_say)
{
    const timeline_case &c = GetParam();
    clock_ms = 0;
    random_fails = c.random_fails;
    zero_first = c.zero_first;
    in_hosts = c.in_hosts;
    lan = !c.agents || c.agents[0]; // configured: a LAN host answers what it is asked
    script = c.heard;
    next_event = 0;
    latest.clear();
    pending.clear();
    log.clear();
    slp_settings settings = {};
    snprintf(settings.agents, sizeof settings.agents, "%s", c.agents ? c.agents : "");
    settings.unreadable = !c.agents;
    net_address found[4];
    int count = find_server("FS1", &settings, found, 4);
    EXPECT_EQ(log, c.requests);
    EXPECT_EQ((count ? "found " + dotted(net_ipv4_of(&found[0])) : std::string("none")) +
                  " at " + std::to_string(clock_ms),
              c.outcome);
}

INSTANTIATE_TEST_SUITE_P(all, slp_timeline, ::testing::ValuesIn(timeline_cases));

} // namespace

// The network, as the script plays it.
int64_t net_now()
{
    return clock_ms;
}

bool net_random(uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count; i++)
        bytes[i] = zero_first ? 0 : (uint8_t)(++last_xid * 37);
    zero_first = false;
    return !random_fails;
}

void net_ipv4(uint32_t address, uint16_t port, net_address *out)
{
    *out = {2, 6, {}};
    memcpy(out->bytes, &address, 4);
    memcpy(out->bytes + 4, &port, 2);
}

uint32_t net_ipv4_of(const net_address *address)
{
    uint32_t a;
    memcpy(&a, address->bytes, 4);
    return a;
}

uint16_t net_port_of(const net_address *address)
{
    uint16_t port;
    memcpy(&port, address->bytes + 4, 2);
    return port;
}

// The site's hosts file and DNS: "pair" as both agents, "slpda" as the
// first; names beginning with "slow" fail after 600 ms. Else a LAN host
// answers. An agent's name is never resolved past the second.
int net_resolve(const char *name, const char *port, bool site_only, net_address *addresses, int)
{
    EXPECT_FALSE(strcmp(port, "427") == 0 && clock_ms >= 1000) << name;
    if (site_only && strcmp(name, "pair") == 0) {
        net_ipv4(da1, 427, &addresses[0]);
        net_ipv4(da2, 427, &addresses[1]);
        return 2;
    }
    uint32_t a = site_only && strcmp(name, "slpda") == 0       ? da1
                 : site_only && in_hosts && !strcmp(name, "FS1") ? 0x7F000003
                 : !site_only && lan                             ? rogue
                                                                 : 0;
    clock_ms += strncmp(name, "slow", 4) == 0 ? 600 : 0;
    net_ipv4(a, 524, addresses);
    return a != 0;
}

// TCP: a connection made at once, whose reply is the whole answer.
net_socket net_connect(const net_address *address)
{
    tcp_to = net_ipv4_of(address);
    tcp_reply.clear();
    return 7;
}

bool net_connected(net_socket)
{
    return true;
}

long net_send(net_socket, const uint8_t *bytes, size_t count)
{
    take_request(tcp_to, bytes, count, " tcp ");
    tcp_reply = tcp_says == 'o' ? "" : with_xid(urls(entry(fs + "1")), last_request);
    return (long)count;
}

long net_recv(net_socket, uint8_t *bytes, size_t count)
{
    count = std::min(count, tcp_says == 't' ? 1 : tcp_reply.size());
    memcpy(bytes, tcp_reply.data(), count);
    tcp_reply.erase(0, count);
    return (long)count;
}

void net_close(net_socket) {}

net_socket net_udp_open()
{
    return 3;
}

// The TCP socket is ready while it connects or has bytes; a datagram once
// its time has come.
int net_wait(const net_socket *, int count, uint32_t writing, int64_t deadline)
{
    if (count == 2 && (writing != 0 || !tcp_reply.empty()))
        return 1;
    if (!pending.empty())
        return 0;
    if (next_event < script.size() && script[next_event].at <= deadline) {
        clock_ms = std::max(clock_ms, script[next_event].at);
        return 0;
    }
    clock_ms = std::max(clock_ms, deadline);
    return -1;
}

long net_send_to(net_socket, const uint8_t *bytes, size_t count, const net_address *to)
{
    take_request(net_ipv4_of(to), bytes, count, " ");
    return (long)count;
}

long net_recv_from(net_socket, uint8_t *bytes, size_t, net_address *from)
{
    if (pending.empty())
        pending = replies(script[next_event]);
    std::string r = pending.front();
    pending.erase(pending.begin());
    net_ipv4(script[next_event].from, strchr("FW", script[next_event].says) ? 1024 : 427, from);
    next_event += pending.empty();
    memcpy(bytes, r.data(), r.size());
    return (long)r.size();
}

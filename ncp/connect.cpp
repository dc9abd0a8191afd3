// Connects to a server by racing its addresses, as RFC 8305 (Happy
// Eyeballs) describes: a path that drops packets costs a quarter second,
// not the whole budget.
#include "ncp/ncp.h"

static const int64_t attempt_delay_ms = 250;
static const int most_addresses = 16;

// The families take turns, starting with the resolver's first choice;
// within a family the resolver's order stays.
static void interleave(const net_address *found, int count, net_address *order)
{
    int next_of[2] = {0, 0}; // [0]: the first address's family, [1]: the others
    int placed = 0;
    for (int turn = 0; placed < count; turn ^= 1) {
        int &at = next_of[turn];
        while (at < count && (found[at].family == found[0].family) != (turn == 0))
            at++;
        if (at < count)
            order[placed++] = found[at++];
    }
}

// Attempts go out every 250 ms while earlier ones are pending, to the
// interleaved addresses in turn and then around again: on a lossy path a
// fresh attempt beats waiting for a lost SYN's retransmission. An address
// that refuses is dropped, and the next attempt starts at once. The first
// connection made wins; the others are closed.
uint32_t ncp_connect(const net_address *addresses, int count, int64_t deadline,
                     net_socket *socket_out)
{
    static net_address order[most_addresses];
    if (count > most_addresses)
        count = most_addresses;
    interleave(addresses, count, order);

    net_socket pending[net_most_sockets];
    int pending_address[net_most_sockets];
    int pending_count = 0;
    bool failed[most_addresses] = {};
    int failed_count = 0;
    int next = 0;
    int64_t next_start = net_now();
    *socket_out = net_no_socket;
    while (*socket_out == net_no_socket && net_now() < deadline) {
        bool may_start = failed_count < count && pending_count < net_most_sockets;
        if (may_start && net_now() >= next_start) {
            while (failed[next])
                next = (next + 1) % count;
            net_socket s = net_connect(&order[next]);
            if (s != net_no_socket) {
                pending[pending_count] = s;
                pending_address[pending_count++] = next;
                next_start = net_now() + attempt_delay_ms;
            } else {
                failed[next] = true;
                failed_count++;
            }
            next = (next + 1) % count;
            continue;
        }
        if (pending_count == 0)
            break; // every address refused
        int ready = net_wait(pending, pending_count, net_all_writing,
                             may_start && next_start < deadline ? next_start : deadline);
        if (ready < 0)
            continue;
        net_socket s = pending[ready];
        int address = pending_address[ready];
        pending_count--;
        pending[ready] = pending[pending_count];
        pending_address[ready] = pending_address[pending_count];
        if (net_connected(s)) {
            *socket_out = s;
        } else {
            net_close(s);
            failed_count += failed[address] ? 0 : 1;
            failed[address] = true;
            next_start = net_now();
        }
    }
    for (int i = 0; i < pending_count; i++)
        net_close(pending[i]);
    return *socket_out == net_no_socket ? ncp_no_route : 0;
}

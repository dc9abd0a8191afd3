// What the protocols need of the system's sockets: a POSIX and a Winsock
// implementation stand behind it, chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>

// A socket descriptor on POSIX, a SOCKET on Windows; -1 is none on both.
typedef intptr_t net_socket;
const net_socket net_no_socket = -1;

// One resolved address, held as the system's socket address.
struct net_address {
    int family;
    uint32_t size;
    alignas(8) unsigned char bytes[128];
};

// The most sockets that net_wait watches at once.
const int net_most_sockets = 32;

// What net_send and net_recv return besides a count: retry once ready.
const long net_again = -2;

// Milliseconds on a monotonic clock.
int64_t net_now();
// Bytes that no other host can predict, for the protocols' request ids;
// false when the system's generator fails.
bool net_random(uint8_t *bytes, size_t count);
// Makes the socket layer usable; 0, or the system's error code.
uint32_t net_start();
// The name's addresses for the port, in the resolver's order, at most
// capacity of them; 0 when the name does not resolve. The resolver's own
// settings bound how long that takes. site_only: by the hosts file and DNS
// alone, never by a protocol that any LAN host can answer (LLMNR, NetBIOS,
// mDNS), whatever the system's settings list. On Linux that holds for the
// rest of the process once asked: a run asks it of every lookup or of none.
// Site-only, a loose number (net_loose_number) is neither an address nor
// a name; on Linux DNS is never asked a single-label name as written nor
// one under .local (a resolver's stub may pass those to LLMNR or mDNS):
// those are the hosts file's alone.
int net_resolve(const char *name, const char *port, bool site_only, net_address *addresses,
                int capacity);
// The system's resolver in its own order, or (numeric_only) a numeric
// address alone, never a lookup: what net_resolve builds on.
int net_addresses_of(const char *name, const char *port, bool numeric_only,
                     net_address *addresses, int capacity);
// A dotted IPv4 address as inet_pton reads it (four decimal numbers up to
// 255, none with a leading zero), in host order; false for anything else.
bool net_dotted(const char *name, uint32_t *address);
// True for a name whose last label is a number (decimal, or hex after 0x)
// and that is no dotted IPv4 address: 127.1, 0x7f.1, 10.0.0.256.
bool net_loose_number(const char *name);
// An IPv4 address and port, in host order.
void net_ipv4(uint32_t address, uint16_t port, net_address *out);
// The IPv4 address in host order, or 0 for another family.
uint32_t net_ipv4_of(const net_address *address);
// The port of an IPv4 address, or 0 for another family.
uint16_t net_port_of(const net_address *address);
// Starts a non-blocking connection: net_no_socket when it failed at once.
net_socket net_connect(const net_address *address);
// True when a connection that net_wait found ready has been made.
bool net_connected(net_socket socket);
// Waits until one of the sockets (at most net_most_sockets) is ready: those
// whose bit is set in writing when they can be written (a connection is
// made or has failed), the others when they can be read. Its index, or -1
// once the deadline has passed.
const uint32_t net_all_writing = 0xFFFFFFFF;
int net_wait(const net_socket *sockets, int count, uint32_t writing, int64_t deadline);
// A count of bytes, 0 when the peer has closed (net_recv only), net_again,
// or -1 on failure.
long net_send(net_socket socket, const uint8_t *bytes, size_t count);
long net_recv(net_socket socket, uint8_t *bytes, size_t count);
void net_close(net_socket socket);
// Whole buffers, each within the deadline; false on failure, on the
// peer's close or once the deadline has passed. net_recv_all never reads
// more than count bytes.
bool net_send_all(net_socket socket, const uint8_t *bytes, size_t count, int64_t deadline);
bool net_recv_all(net_socket socket, uint8_t *bytes, size_t count, int64_t deadline);

// A non-blocking IPv4 datagram socket on a port of the system's choosing,
// or net_no_socket.
net_socket net_udp_open();
// One datagram out; to a multicast group it leaves on the system's route.
long net_send_to(net_socket socket, const uint8_t *bytes, size_t count, const net_address *to);
// One datagram in, and its sender: a count (a longer datagram is cut),
// net_again or -1.
long net_recv_from(net_socket socket, uint8_t *bytes, size_t count, net_address *from);

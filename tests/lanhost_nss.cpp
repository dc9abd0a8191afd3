// A LAN host's name service, as an NSS module (libnss_lanhost.so.2): every
// IPv4 name is 127.0.0.2, as any host of the segment can answer LLMNR, mDNS
// or NetBIOS. Freestanding, so that it builds for Wine's 32-bit resolver
// too, where no 32-bit C library is installed to link.
struct host_entry {
    const char *name;
    char **aliases;
    int family, length;
    char **addresses;
};

struct answer {
    char *addresses[2], *aliases[1];
    unsigned char address[4];
};

// Results: 1 NSS_STATUS_SUCCESS, 0 NOTFOUND, -2 TRYAGAIN (errno ERANGE).
extern "C" int _nss_lanhost_gethostbyname2_r(const char *, int family, host_entry *result,
                                             char *buffer, decltype(sizeof 0) length,
                                             int *error, int *h_error)
{
    if (family != 2 /* AF_INET */ || length < sizeof(answer)) {
        *error = family != 2 ? 2 : 34;
        *h_error = family != 2 ? 1 : 2;
        return family != 2 ? 0 : -2;
    }
    answer *a = reinterpret_cast<answer *>(buffer);
    *a = {{reinterpret_cast<char *>(a->address), nullptr}, {nullptr}, {127, 0, 0, 2}};
    *result = {"lanhost", a->aliases, family, 4, a->addresses};
    return 1;
}

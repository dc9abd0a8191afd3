// A LAN host's name service, as an NSS module (libnss_lanhost.so.2): it
// answers every IPv4 name query with 127.0.0.2, as any host of the segment
// can answer LLMNR, mDNS or NetBIOS. Freestanding, so that it builds for
// Wine's 32-bit side too, where no 32-bit C library is installed to link.
typedef decltype(sizeof 0) size;

struct host_entry {
    const char *name;
    char **aliases;
    int family;
    int length;
    char **addresses;
};

struct answer {
    char *addresses[2];
    char *aliases[1];
    unsigned char address[4];
};

extern "C" int _nss_lanhost_gethostbyname2_r(const char *, int family, host_entry *result,
                                             char *buffer, size length, int *error, int *h_error)
{
    if (family != 2) { // AF_INET
        *error = 2;    // ENOENT
        *h_error = 1;  // HOST_NOT_FOUND
        return 0;      // NSS_STATUS_NOTFOUND
    }
    if (length < sizeof(answer)) {
        *error = 34;  // ERANGE
        *h_error = 2; // TRY_AGAIN
        return -2;    // NSS_STATUS_TRYAGAIN
    }
    answer *a = reinterpret_cast<answer *>(buffer);
    a->address[0] = 127;
    a->address[1] = 0;
    a->address[2] = 0;
    a->address[3] = 2;
    a->addresses[0] = reinterpret_cast<char *>(a->address);
    a->addresses[1] = nullptr;
    a->aliases[0] = nullptr;
    *result = {"lanhost", a->aliases, family, 4, a->addresses};
    return 1; // NSS_STATUS_SUCCESS
}

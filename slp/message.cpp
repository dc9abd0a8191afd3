// SLPv2 messages (RFC 2608, section 8): requests written, replies read
// with every length checked against what arrived.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "slp/slp.h"

static const uint8_t slp_version = 2;
static const uint16_t overflow_flag = 0x8000;
static const uint16_t multicast_flag = 0x2000;
static const char language[] = "en";
static const size_t header_size = 14; // and the language tag
static const char service_type[] = "service:bindery.novell:";
static const char address_tag[] = "svcaddr-ws";
static const char agent_url[] = "service:directory-agent://";

static bool put_string(uint8_t *out, size_t capacity, size_t *at, const char *text)
{
    size_t length = strlen(text);
    if (length > 0xFFFF || capacity - *at < 2 + length)
        return false;
    out[(*at)++] = (uint8_t)(length >> 8);
    out[(*at)++] = (uint8_t)length;
    // An SLP string carries its length, not a terminator.
    memcpy(out + *at, text, length); // NOLINT(bugprone-not-null-terminated-result)
    *at += length;
    return true;
}

size_t slp_write_request(uint8_t *out, size_t capacity, uint8_t function, uint16_t xid,
                         bool multicast, const char *responders, const char *target,
                         const char *scopes, const char *wanted)
{
    if (capacity < header_size)
        return 0;
    uint16_t flags = multicast ? multicast_flag : 0;
    const uint8_t head[12] = {slp_version, function, 0, 0, 0, (uint8_t)(flags >> 8),
                              (uint8_t)flags, 0, 0, 0, (uint8_t)(xid >> 8), (uint8_t)xid};
    memcpy(out, head, sizeof head);
    size_t at = sizeof head;
    // The last string is the SLP SPI: none, as no reply is authenticated.
    if (!put_string(out, capacity, &at, language) || !put_string(out, capacity, &at, responders) ||
        !put_string(out, capacity, &at, target) || !put_string(out, capacity, &at, scopes) ||
        !put_string(out, capacity, &at, wanted) || !put_string(out, capacity, &at, "") ||
        at > 0xFFFFFF)
        return 0;
    out[2] = (uint8_t)(at >> 16);
    out[3] = (uint8_t)(at >> 8);
    out[4] = (uint8_t)at;
    return at;
}

// A cursor over one reply that never moves past its end.
struct reader {
    const uint8_t *at;
    const uint8_t *end;
};

static bool skip(reader *r, size_t count)
{
    if ((size_t)(r->end - r->at) < count)
        return false;
    r->at += count;
    return true;
}

static bool get16(reader *r, uint16_t *value)
{
    if (r->end - r->at < 2)
        return false;
    *value = (uint16_t)(r->at[0] << 8 | r->at[1]);
    r->at += 2;
    return true;
}

static bool get_string(reader *r, const char **text, size_t *length)
{
    uint16_t size;
    if (!get16(r, &size) || (size_t)(r->end - r->at) < size)
        return false;
    *text = reinterpret_cast<const char *>(r->at);
    *length = size;
    r->at += size;
    return true;
}

// Authentication blocks are not used: each is skipped by its own length.
static bool skip_authentications(reader *r)
{
    if (r->at == r->end)
        return false;
    int count = *r->at++;
    for (int i = 0; i < count; i++) {
        uint16_t descriptor, length;
        if (!get16(r, &descriptor) || !get16(r, &length) || length < 4 || !skip(r, length - 4u))
            return false;
    }
    return true;
}

static size_t get24(const uint8_t *at)
{
    return (size_t)at[0] << 16 | (size_t)at[1] << 8 | at[2];
}

static bool overflowed(const uint8_t *reply)
{
    return (reply[5] << 8 & overflow_flag) != 0;
}

// The extensions, each at its offset (RFC 2608, section 9.1): none that
// must be understood (IDs 0x4000 to 0x7FFF), as this agent knows none, and
// each one further on and inside what arrived, or past the cut of a reply
// that did not fit (TCP brings those). The body ends where they begin.
static bool only_optional_extensions(const uint8_t *reply, size_t size, size_t *body_end)
{
    size_t previous = 0;
    *body_end = size;
    for (size_t at = get24(reply + 7); at != 0; at = get24(reply + at + 2)) {
        if (at <= previous || at < header_size)
            return false;
        if (previous == 0 && at < size)
            *body_end = at;
        if (size - 5 < at)
            return overflowed(reply) && at + 5 <= get24(reply + 2);
        unsigned id = (unsigned)(reply[at] << 8 | reply[at + 1]);
        if (id >= 0x4000 && id <= 0x7FFF)
            return false;
        previous = at;
    }
    return true;
}

// The body of a reply of that function to xid whose stated length is what
// arrived, or, when it did not fit into its datagram, at least that; after
// its error code.
static bool open_body(const uint8_t *reply, size_t size, uint8_t function, uint16_t xid,
                      reader *r, uint16_t *error)
{
    size_t stated = size >= header_size ? get24(reply + 2) : 0, body_end;
    if (size < header_size || reply[0] != slp_version || reply[1] != function ||
        (uint16_t)(reply[10] << 8 | reply[11]) != xid ||
        !(stated == size || (overflowed(reply) && stated > size)) ||
        !only_optional_extensions(reply, size, &body_end))
        return false;
    r->at = reply + 12;
    r->end = reply + body_end;
    const char *tag;
    size_t tag_length;
    return get_string(r, &tag, &tag_length) && get16(r, error);
}

int slp_reply_status(const uint8_t *reply, size_t size, uint8_t function, uint16_t xid,
                     bool *overflow)
{
    reader r;
    uint16_t error;
    if (!open_body(reply, size, function, xid, &r, &error))
        return -1;
    *overflow = overflowed(reply);
    return error;
}

static bool open_reply(const uint8_t *reply, size_t size, uint8_t function, uint16_t xid,
                       reader *r)
{
    uint16_t error;
    return open_body(reply, size, function, xid, r, &error) && error == 0;
}

static bool same_text(const char *a, const char *b, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = (char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = (char)(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

// service:bindery.novell://HOST/NAME, the host part usually empty.
static bool names_server(const char *url, size_t length, const char *name)
{
    size_t type_length = sizeof service_type - 1;
    if (length < type_length + 2 || !same_text(url, service_type, type_length) ||
        url[type_length] != '/' || url[type_length + 1] != '/')
        return false;
    const char *path = static_cast<const char *>(
        memchr(url + type_length + 2, '/', length - type_length - 2));
    if (!path)
        return false;
    size_t path_length = length - (size_t)(path + 1 - url);
    return path_length == strlen(name) && path_length > 0 && same_text(path + 1, name, path_length);
}

bool slp_read_service_reply(const uint8_t *reply, size_t size, uint16_t xid, const char *name,
                            char *url, size_t url_capacity)
{
    reader r;
    uint16_t count;
    if (!open_reply(reply, size, slp_service_reply, xid, &r) || !get16(&r, &count))
        return false;
    for (int i = 0; i < count; i++) {
        const char *text;
        size_t length;
        if (!skip(&r, 3) || !get_string(&r, &text, &length) || !skip_authentications(&r))
            return false;
        if (names_server(text, length, name) && length < url_capacity) {
            memcpy(url, text, length);
            url[length] = '\0';
            return true;
        }
    }
    return false;
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// 2-1-6-AAAAAAAAPPPP (IP, stream, TCP) or 2-2-17-… (IP, datagram, UDP),
// then the IPv4 address and port in hex. Anything else is not for us, nor
// is an address no server has: 0.x.x.x, multicast, reserved or broadcast.
static uint32_t ip_address(const char *value, size_t length)
{
    for (const char *kind : {"2-1-6-", "2-2-17-"}) {
        size_t kind_length = strlen(kind);
        if (length != kind_length + 12 || memcmp(value, kind, kind_length) != 0)
            continue;
        uint32_t address = 0;
        for (size_t i = 0; i < 12; i++) {
            int digit = hex_digit(value[kind_length + i]);
            if (digit < 0)
                return 0;
            if (i < 8)
                address = address << 4 | (uint32_t)digit;
        }
        return address >> 24 == 0 || address >> 24 >= 224 ? 0 : address;
    }
    return 0;
}

static int add_address(uint32_t address, uint32_t *addresses, int count, int capacity)
{
    if (address == 0 || count == capacity)
        return count;
    for (int i = 0; i < count; i++)
        if (addresses[i] == address)
            return count;
    addresses[count] = address;
    return count + 1;
}

// (tag=value,value),(tag=value),keyword: reserved characters inside
// values are escaped, so a literal comma or parenthesis is a delimiter.
int slp_read_attribute_reply(const uint8_t *reply, size_t size, uint16_t xid,
                             uint32_t *addresses, int capacity)
{
    reader r;
    const char *list;
    size_t length;
    if (!open_reply(reply, size, slp_attribute_reply, xid, &r) ||
        !get_string(&r, &list, &length) || !skip_authentications(&r))
        return 0;
    const size_t tag_length = sizeof address_tag - 1;
    int count = 0;
    const char *end = list + length;
    for (const char *at = list; at < end; at++) {
        if (*at != '(' || (size_t)(end - at) < tag_length + 2 ||
            !same_text(at + 1, address_tag, tag_length) || at[1 + tag_length] != '=')
            continue;
        const char *value = at + tag_length + 2;
        for (const char *v = value; v <= end; v++) {
            if (v < end && *v != ',' && *v != ')')
                continue;
            count = add_address(ip_address(value, (size_t)(v - value)), addresses, count,
                                capacity);
            if (v == end || *v == ')')
                break;
            value = v + 1;
        }
    }
    return count;
}

// One element of a comma-separated list, without the blanks around it;
// *list is null once the last one was taken.
static bool next_element(const char **list, const char *end, const char **element,
                         size_t *length)
{
    const char *at = *list;
    if (!at)
        return false;
    const char *comma = static_cast<const char *>(memchr(at, ',', (size_t)(end - at)));
    const char *stop = comma ? comma : end;
    *list = comma ? comma + 1 : nullptr;
    while (at < stop && (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n'))
        at++;
    while (stop > at && (stop[-1] == ' ' || stop[-1] == '\t' || stop[-1] == '\r' ||
                         stop[-1] == '\n'))
        stop--;
    *element = at;
    *length = (size_t)(stop - at);
    return true;
}

bool slp_tidy_list(const char *list, char *out, size_t capacity)
{
    const char *end = list + strlen(list), *element;
    size_t length, used = 0;
    while (next_element(&list, end, &element, &length)) {
        if (length == 0)
            continue;
        if (used + (used ? 1 : 0) + length >= capacity)
            return false;
        if (used)
            out[used++] = ',';
        memcpy(out + used, element, length);
        used += length;
    }
    out[used] = '\0';
    return true;
}

// Whether the advertised scope list names one of ours (a tidy list),
// whatever the case.
static bool shares_scope(const char *list, size_t list_length, const char *ours)
{
    const char *end = list + list_length, *theirs;
    size_t length;
    while (next_element(&list, end, &theirs, &length)) {
        const char *our_end = ours + strlen(ours), *at = ours, *mine;
        size_t my_length;
        while (next_element(&at, our_end, &mine, &my_length))
            if (length != 0 && length == my_length && same_text(theirs, mine, length))
                return true;
    }
    return false;
}

// DAAdvert: error, boot time, URL, scopes, attributes, SPIs, authentications.
bool slp_read_agent_advert(const uint8_t *reply, size_t size, uint16_t xid, const char *scopes)
{
    reader r;
    uint16_t high, low;
    const char *url, *list, *text;
    size_t url_length, list_length, length;
    return open_reply(reply, size, slp_agent_advert, xid, &r) && get16(&r, &high) &&
           get16(&r, &low) && (high | low) != 0 && get_string(&r, &url, &url_length) &&
           url_length >= sizeof agent_url - 1 && same_text(url, agent_url, sizeof agent_url - 1) &&
           get_string(&r, &list, &list_length) && get_string(&r, &text, &length) &&
           get_string(&r, &text, &length) && skip_authentications(&r) && r.at == r.end &&
           shares_scope(list, list_length, scopes);
}

// RFC 2608's reserved characters, and the wildcard, as \ and two hex digits.
bool slp_write_predicate(char *out, size_t capacity, const char *op, const char *name)
{
    size_t at = (size_t)snprintf(out, capacity, "(svcname-ws%s", op);
    for (; *name && at < capacity; name++) {
        unsigned char c = (unsigned char)*name;
        bool reserved = c < 0x20 || c == 0x7F || strchr("(),\\!<=>~*", c);
        at += (size_t)(reserved ? snprintf(out + at, capacity - at, "\\%02X", c)
                                : snprintf(out + at, capacity - at, "%c", c));
    }
    return at + 1 < capacity && snprintf(out + at, capacity - at, ")") == 1;
}

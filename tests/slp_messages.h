// SLP replies as agents write them, to XID 0x1234 unless said otherwise.
#pragma once

#include <cstdint>
#include <string>

inline std::string slp(uint8_t function, const std::string &body, uint16_t xid = 0x1234)
{
    size_t length = 16 + body.size();
    std::string m = {2, (char)function, 0, (char)(length >> 8), (char)length, 0, 0, 0, 0, 0,
                     (char)(xid >> 8), (char)xid, 0, 2};
    return m + "en" + body;
}

inline std::string text(const std::string &s)
{
    return std::string{(char)(s.size() >> 8), (char)s.size()} + s;
}

inline std::string entry(const std::string &url,
                         const std::string &authentications = std::string(1, 0))
{
    return std::string("\0\xff\xff", 3) + text(url) + authentications;
}

inline std::string urls(const std::string &entries, char count = 1, char error = 0)
{
    return slp(2, std::string{0, error, 0, count} + entries);
}

inline std::string attributes(const std::string &list, char error = 0)
{
    return slp(7, std::string{0, error} + text(list) + std::string(1, '\0'));
}

// The reply with an extension of that ID after its body.
inline std::string extended(std::string reply, uint16_t id)
{
    size_t offset = reply.size(), length = offset + 5;
    reply += std::string{(char)(id >> 8), (char)id, 0, 0, 0};
    reply[3] = (char)(length >> 8);
    reply[4] = (char)length;
    reply[9] = (char)offset;
    return reply;
}

// Cut after its first whole entry, with the overflow flag.
inline std::string overflowed(const std::string &entries, size_t cut)
{
    std::string reply = urls(entries, 3).substr(0, cut);
    reply[3] = (char)(cut >> 8);
    reply[4] = (char)cut;
    reply[5] = (char)0x80;
    return reply;
}

// Overflowed, stating a whole length of 200, its extension at 150, past the cut.
inline std::string extension_past_cut(std::string reply)
{
    reply[4] = (char)200;
    reply[9] = (char)150;
    return reply;
}

const std::string up("\0\0\0\x2a", 4); // a boot time

inline std::string advert(const std::string &boot, const std::string &scopes, char error = 0)
{
    return slp(8, std::string{0, error} + boot + text("service:directory-agent://10.0.0.5") +
                      text(scopes) + text("") + text("") + std::string(1, '\0'));
}

// OpenSLP's configuration file: lines "key = value", comments beginning
// with # or ;. Only the keys that say whom to ask are read, as written
// (the lookup tidies the lists); a comment too long for the buffer is
// ignored whole, and so is a value that does not fit. But a file that
// exists and cannot be read, is not text (a NUL byte: UTF-16, say), names
// the agents' key in a line not read as it (another case, a byte-order
// mark, another separator), has a line too long for the buffer that is no
// comment (the key could lie past it), or whose agents do not fit, makes
// the settings unreadable:
// never a site without agents. So does anything but a file (a folder, a
// device, a FIFO), which is not opened: it could be endless or block.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include "slp/slp.h"

static bool take_value(const char *value, char *out, size_t capacity)
{
    if ((size_t)snprintf(out, capacity, "%s", value) < capacity)
        return true;
    out[0] = '\0';
    return false;
}

static const char *value_of(const char *line, const char *key)
{
    while (*line == ' ' || *line == '\t')
        line++;
    size_t length = strlen(key);
    if (strncmp(line, key, length) != 0)
        return nullptr;
    line += length;
    while (*line == ' ' || *line == '\t')
        line++;
    return *line == '=' ? line + 1 : nullptr;
}

static bool comment(const char *line)
{
    line += strspn(line, " \t");
    return *line == '#' || *line == ';';
}

// Whether a line that is no comment names the key, in any spelling.
static bool names_key(const char *line, const char *key)
{
    if (comment(line))
        return false;
    for (; *line; line++)
        if (strncasecmp(line, key, strlen(key)) == 0)
            return true;
    return false;
}

void slp_read_config(const char *file, slp_settings *settings)
{
    *settings = {};
    struct stat info;
    if (stat(file, &info) == 0 && !S_ISREG(info.st_mode)) {
        settings->unreadable = true;
        return;
    }
    // Binary: the offsets that tell a NUL byte are the file's own.
    FILE *config = fopen(file, "rb");
    if (!config) {
        settings->unreadable = errno != ENOENT && errno != ENOTDIR;
        return;
    }
    static char line[1024];
    static const char agents_key[] = "net.slp.DAAddresses";
    bool whole = true;
    long before = ftell(config);
    while (fgets(line, sizeof line, config)) {
        long after = ftell(config);
        settings->unreadable |= after - before != (long)strlen(line);
        before = after;
        bool started_whole = whole;
        whole = strchr(line, '\n') != nullptr || feof(config);
        const char *value = value_of(line, agents_key);
        if (!started_whole || !whole)
            settings->unreadable |= started_whole && !comment(line);
        else if (value)
            settings->unreadable |= !take_value(value, settings->agents, sizeof settings->agents);
        else if (names_key(line, agents_key))
            settings->unreadable = true;
        else if ((value = value_of(line, "net.slp.useScopes")))
            take_value(value, settings->scopes, sizeof settings->scopes);
    }
    settings->unreadable |= ferror(config) != 0;
    fclose(config);
}

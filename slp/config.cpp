// OpenSLP's configuration file: lines "key = value", comments beginning
// with # or ;. Only the keys that say whom to ask are read, as written
// (the lookup tidies the lists); a line too long for the buffer is ignored
// whole, and so is a value that does not fit. But a file that exists and
// cannot be read, or agents that do not fit, make the settings unreadable:
// never a site without agents.
#include <cerrno>
#include <cstdio>
#include <cstring>

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

void slp_read_config(const char *file, slp_settings *settings)
{
    *settings = {};
    FILE *config = fopen(file, "r");
    if (!config) {
        settings->unreadable = errno != ENOENT && errno != ENOTDIR;
        return;
    }
    static char line[1024];
    bool whole = true;
    while (fgets(line, sizeof line, config)) {
        bool started_whole = whole;
        whole = strchr(line, '\n') != nullptr || feof(config);
        const char *value = value_of(line, "net.slp.DAAddresses");
        if (!started_whole || !whole)
            settings->unreadable |= started_whole && value;
        else if (value)
            settings->unreadable |= !take_value(value, settings->agents, sizeof settings->agents);
        else if ((value = value_of(line, "net.slp.useScopes")))
            take_value(value, settings->scopes, sizeof settings->scopes);
    }
    settings->unreadable |= ferror(config) != 0;
    fclose(config);
}

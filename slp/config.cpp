// OpenSLP's configuration file: lines "key = value", comments beginning
// with # or ;. Only the keys that say whom to ask are read, as written
// (the lookup tidies the lists); a line too long for the buffer is ignored
// whole, and so is a value that does not fit.
#include <cstdio>
#include <cstring>

#include "slp/slp.h"

static void take_value(const char *value, char *out, size_t capacity)
{
    if ((size_t)snprintf(out, capacity, "%s", value) >= capacity)
        out[0] = '\0';
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

void slp_read_config(const char *file, char *scopes, size_t scopes_capacity, char *agents,
                     size_t agents_capacity)
{
    scopes[0] = '\0';
    agents[0] = '\0';
    FILE *config = file ? fopen(file, "r") : nullptr;
    if (!config)
        return;
    static char line[1024];
    bool whole = true;
    while (fgets(line, sizeof line, config)) {
        bool started_whole = whole;
        whole = strchr(line, '\n') != nullptr || feof(config);
        if (!started_whole || !whole)
            continue;
        const char *value;
        if ((value = value_of(line, "net.slp.useScopes")))
            take_value(value, scopes, scopes_capacity);
        else if ((value = value_of(line, "net.slp.DAAddresses")))
            take_value(value, agents, agents_capacity);
    }
    fclose(config);
}

// OpenSLP's configuration file: lines "key = value", comments beginning
// with # or ;. Only the keys that say whom to ask are read.
#include <cstdio>
#include <cstring>

#include "slp/slp.h"

// The value without its blanks, cut to the capacity.
static void take_value(const char *value, char *out, size_t capacity)
{
    size_t length = 0;
    for (; *value && length + 1 < capacity; value++)
        if (*value != ' ' && *value != '\t' && *value != '\r' && *value != '\n')
            out[length++] = *value;
    out[length] = '\0';
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
    snprintf(scopes, scopes_capacity, "DEFAULT");
    agents[0] = '\0';
    FILE *config = file ? fopen(file, "r") : nullptr;
    if (!config)
        return;
    static char line[1024];
    while (fgets(line, sizeof line, config)) {
        const char *value;
        if ((value = value_of(line, "net.slp.useScopes")))
            take_value(value, scopes, scopes_capacity);
        else if ((value = value_of(line, "net.slp.DAAddresses")))
            take_value(value, agents, agents_capacity);
    }
    fclose(config);
    if (scopes[0] == '\0')
        snprintf(scopes, scopes_capacity, "DEFAULT");
}

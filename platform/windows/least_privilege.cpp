#include "platform/platform.h"

// A Windows process holds what its account was given, and needs the right
// to change the system time for its one task; the installed NetWare client
// it may load needs the rest. Nothing is given up here.
bool drop_privileges(bool)
{
    return true;
}

void confine_to_socket(intptr_t, bool)
{
}

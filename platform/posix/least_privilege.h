// What a run keeps of its privileges on POSIX; each step that the system
// refuses is left out, silently.
#pragma once

// Keeps CAP_SYS_TIME alone, as user 65534 when started as root, and sets
// no_new_privs.
void drop_privileges();

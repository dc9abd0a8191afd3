// The likely cause of each error that ends a run, and the next step: for
// the admin, beside the console's and the log's bytes, which stay as they
// are for the scripts that read them.
#include <iterator>

#include "output/output.h"
#include "sync/sync.h"

struct hint {
    uint32_t code;
    const char *text;
};

// The built-in client's results (the installed Windows client's where it
// shares them), from any of the three NetWare steps.
static const hint netware_hints[] = {
    // Linux's alone: on Windows an installed client's own code.
    {0x88FF, posix_options ? "the run could not give up its privilege (become the user "
                             "garvelux or 65534, keep CAP_SYS_TIME alone, or load its filter): "
                             "install the package, which makes the user, or see SECURITY in "
                             "the manual"
                           : nullptr},
    {0x7F, "the installed NetWare client lacks a call: install a matching version, or remove "
           "it so that the built-in client is used"},
    {0x276B, "the network is not ready yet: the next scheduled run will try again"},
    {0x8847, "the name was not found in the hosts file, DNS or SLP: check its spelling, "
             "or add it to the hosts file or DNS"},
    {0x880A, "no NCP server answered on TCP port 524 at the name's addresses: check that the "
             "server is up and that no firewall drops TCP 524"},
    {0x8805, "the server did not answer in time, or closed the connection: try again, then "
             "check the server's load and the network"},
    {0x8806, "what answered on port 524 gave no sound NetWare reply: check that the name is "
             "the NetWare server's"},
    {0x8801, "the server has no free connection, or is going down: try again later"},
};

// The system's error numbers of a refused clock: Linux's and Windows'.
static const hint clock_hints[] = {
    {1, "this account may not set the clock: run as root, or from garvelux@.timer"},
    {1314, "this account lacks the right to change the system time: let the GARVELUX "
           "task run it, or run it from an elevated prompt"},
    {22, "the server's date is no valid date: check the server's clock"},
    {87, "the server's date is no valid date: check the server's clock"},
};

// For every other code, by the step that failed (its exit code).
static const char *const step_hints[] = {
    nullptr,
    "the NetWare client could not start: the manual's DIAGNOSTICS explain the code",
    "no connection to the server: 89xx is the server's refusal; the manual's DIAGNOSTICS "
    "explain the code",
    "the server was reached but did not tell its date and time: try again; the manual's "
    "DIAGNOSTICS explain the code",
    "the system refused to set the clock: the number is its error code",
};

void emit_error_hint(UINT exit_code, uint32_t code)
{
    const char *text = exit_code < std::size(step_hints) ? step_hints[exit_code] : nullptr;
    const hint *first = exit_code == 4 ? std::begin(clock_hints) : std::begin(netware_hints);
    const hint *end = exit_code == 4 ? std::end(clock_hints) : std::end(netware_hints);
    for (const hint *row = first; row != end; row++)
        if (row->code == code && row->text)
            text = row->text;
    if (text)
        emit_hint("Hint: %s.\r\n", text);
}

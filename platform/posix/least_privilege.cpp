// A run reads bytes that a server on the network chose, so it keeps no
// more privilege than setting the clock needs: before the name is resolved
// it gives up every capability but CAP_SYS_TIME (and root's identity), and
// once connected it confines itself to the calls that the rest of the run
// makes. A step that cannot be taken is left out and the run goes on, but
// for the switch away from root outside a user namespace.
#include <cap-ng.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <seccomp.h>

#include "platform/platform.h"

static const uid_t nobody = 65534;

// Every sanitizer's run-time library defines this, whether the build asked
// for it through GARVELUX_SANITIZE or its own flags; GCC announces neither
// UndefinedBehaviorSanitizer nor LeakSanitizer at compile time.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): theirs
extern "C" void __sanitizer_set_report_path(const char *path) __attribute__((weak));

// The sanitizers make calls of their own (their reports, the leak check at
// exit), which a filter would punish.
static bool sanitized()
{
    return __sanitizer_set_report_path != nullptr;
}

// CAP_SYS_TIME alone, where it is held, in every set the bounding set included.
static void keep_only_clock(bool has_clock)
{
    capng_clear(CAPNG_SELECT_ALL);
    if (has_clock)
        capng_update(CAPNG_ADD,
                     (capng_type_t)(CAPNG_EFFECTIVE | CAPNG_PERMITTED | CAPNG_BOUNDING_SET),
                     CAP_SYS_TIME);
}

// The packaged user (sysusers.d makes it) when the system has one, else
// 65534, which other daemons share: they could stop or trace a run. Read
// from /etc/passwd itself, where sysusers writes, so that no name service
// is asked, nor its module loaded, while the run is still root.
static void run_user(uid_t *uid, gid_t *gid)
{
    *uid = *gid = nobody;
    FILE *users = fopen("/etc/passwd", "re");
    if (!users)
        return;
    while (const passwd *user = fgetpwent(users))
        if (strcmp(user->pw_name, "garvelux") == 0 && user->pw_uid != 0 && user->pw_gid != 0) {
            *uid = user->pw_uid;
            *gid = user->pw_gid;
            break;
        }
    fclose(users);
}

static bool switched_to(uid_t uid, gid_t gid)
{
    uid_t real, effective, saved;
    gid_t real_group, effective_group, saved_group;
    return getresuid(&real, &effective, &saved) == 0 && real == uid && effective == uid &&
           saved == uid && getresgid(&real_group, &effective_group, &saved_group) == 0 &&
           real_group == gid && effective_group == gid && saved_group == gid &&
           getgroups(0, nullptr) == 0;
}

// The initial user namespace maps every id to itself, in the one line the
// kernel writes thus; a namespace that maps fewer (a container, the tests)
// may lack the run's user. Unknown counts as the initial one.
static bool in_user_namespace()
{
    FILE *map = fopen("/proc/self/uid_map", "re");
    if (!map)
        return false;
    char line[64];
    bool fewer = fgets(line, sizeof line, map) &&
                 strcmp(line, "         0          0 4294967295\n") != 0;
    fclose(map);
    return fewer;
}

bool drop_privileges(bool may_set_clock)
{
    capng_get_caps_process();
    bool root = geteuid() == 0, switched = false;
    if (root || capng_have_capabilities(CAPNG_SELECT_CAPS) != CAPNG_NONE) {
        bool has_clock = may_set_clock && capng_have_capability(CAPNG_PERMITTED, CAP_SYS_TIME);
        keep_only_clock(has_clock);
        capng_apply(CAPNG_SELECT_BOUNDS); // needs CAP_SETPCAP
        const capng_flags_t flags = (capng_flags_t)(CAPNG_DROP_SUPP_GRP | CAPNG_CLEAR_AMBIENT);
        if (root) {
            uid_t uid;
            gid_t gid;
            run_user(&uid, &gid);
            switched = capng_change_id((int)uid, (int)gid, flags) == 0 && switched_to(uid, gid);
        }
        // A namespace without that user keeps root's identity, not its power.
        if (!switched) {
            keep_only_clock(has_clock);
            capng_apply(CAPNG_SELECT_CAPS);
        }
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    return !root || switched || in_user_namespace();
}

// Once connected, before the first reply byte is read: from here on a run
// only talks on this socket, writes the console and the log, sets the clock
// (where asked), closes and exits. Anything else ends the process.
void confine_to_socket(intptr_t socket, bool may_set_clock)
{
    // The time-zone data is read now. Without TZ the C library looks at
    // the system's zone file again at every conversion; naming that same
    // file keeps it to this one reading.
    if (!getenv("TZ")) {
        static char system_zone[] = "TZ=:/etc/localtime";
        putenv(system_zone);
    }
    tzset();
    if (sanitized())
        return;
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (!filter)
        return;
    static const int anywhere[] = {
        SCMP_SYS(write),         SCMP_SYS(close),        SCMP_SYS(poll),
        SCMP_SYS(ppoll),         SCMP_SYS(clock_gettime), SCMP_SYS(rt_sigreturn),
        SCMP_SYS(exit),          SCMP_SYS(exit_group),
    };
    static const int on_the_socket[] = {SCMP_SYS(sendto), SCMP_SYS(recvfrom)};
    int failed = 0;
    for (int call : anywhere)
        failed |= seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
    if (may_set_clock)
        failed |= seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clock_settime), 0);
    for (int call : on_the_socket)
        failed |= seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1,
                                   SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)socket, 0));
    if (failed == 0)
        seccomp_load(filter);
    // The filter's memory is left to the end of the process: freeing it
    // could need calls that the filter refuses.
}

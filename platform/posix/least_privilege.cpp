// A run reads bytes that a server on the network chose, so it keeps no
// more privilege than setting the clock needs: before the name is resolved
// it gives up every capability but CAP_SYS_TIME (and root's identity), and
// once connected it confines itself to the calls that the rest of the run
// makes. A privileged run outside a user namespace that cannot take one of
// these steps ends; elsewhere (a container, the tests) the step is left out.
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

// The initial user namespace maps every id to itself, in one line; a
// namespace that maps fewer (a container, the tests) may lack the run's
// user. Unknown counts as the initial one. *root_outside: the id that 0
// here is outside, 0 where unknown.
static bool in_user_namespace(uid_t *root_outside)
{
    *root_outside = 0;
    FILE *map = fopen("/proc/self/uid_map", "re");
    if (!map)
        return false;
    char line[64];
    int lines = 0;
    bool identity = false;
    while (fgets(line, sizeof line, map)) {
        char *at = line;
        unsigned long inside = strtoul(at, &at, 10), outside = strtoul(at, &at, 10),
                      count = strtoul(at, &at, 10);
        identity = ++lines == 1 && inside == 0 && outside == 0 && count == 4294967295ul;
        if (inside == 0)
            *root_outside = (uid_t)outside;
    }
    fclose(map);
    return !identity;
}

// Whether the kernel says the process holds nothing but CAP_SYS_TIME, in
// the bounding set too where asked.
static bool holds_only_clock(bool bounding_set)
{
    capng_get_caps_process();
    capng_update(CAPNG_DROP,
                 (capng_type_t)(CAPNG_EFFECTIVE | CAPNG_PERMITTED | CAPNG_BOUNDING_SET),
                 CAP_SYS_TIME);
    return capng_have_capabilities(CAPNG_SELECT_CAPS) == CAPNG_NONE &&
           capng_have_permitted_capabilities() == CAPNG_NONE &&
           (!bounding_set || capng_have_capabilities(CAPNG_SELECT_BOUNDS) == CAPNG_NONE);
}

// Each call that the rest of a run makes, by every name the C library may
// give it on an architecture Debian builds: 32-bit ones have *_time64
// forms beside the old ones, i386 and s390x multiplex the socket calls
// through socketcall (libseccomp tells them apart by the call's number, but
// cannot see their socket there), armhf and ppc64el have send and recv.
// Names an architecture lacks are skipped by libseccomp. Null when the
// filter cannot be built.
static scmp_filter_ctx socket_filter(intptr_t socket, bool may_set_clock)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (!filter)
        return nullptr;
    static const int anywhere[] = {
        SCMP_SYS(write),         SCMP_SYS(close),           SCMP_SYS(poll),
        SCMP_SYS(ppoll),         SCMP_SYS(ppoll_time64),    SCMP_SYS(clock_gettime),
        SCMP_SYS(clock_gettime64), SCMP_SYS(rt_sigreturn), SCMP_SYS(sigreturn),
        SCMP_SYS(exit),          SCMP_SYS(exit_group),
    };
    static const int clock[] = {SCMP_SYS(clock_settime), SCMP_SYS(clock_settime64)};
    static const int on_the_socket[] = {SCMP_SYS(sendto), SCMP_SYS(recvfrom), SCMP_SYS(send),
                                        SCMP_SYS(recv)};
    int failed = 0;
    for (int call : anywhere)
        failed |= seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
    for (int call : clock)
        failed |= may_set_clock ? seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) : 0;
    for (int call : on_the_socket)
        failed |= seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1,
                                   SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)socket, 0));
    if (failed == 0)
        return filter;
    seccomp_release(filter);
    return nullptr;
}

// A privileged run outside a user namespace: a step of the hardening that
// fails ends it.
static bool hardening_owed;

bool drop_privileges(bool may_set_clock)
{
    capng_get_caps_process();
    bool root = geteuid() == 0, switched = false, held = true;
    // Permitted counts too: a file's capabilities without +e may be raised.
    bool privileged = root || capng_have_permitted_capabilities() != CAPNG_NONE;
    uid_t root_outside;
    bool contained = in_user_namespace(&root_outside);
    hardening_owed = privileged && !contained;
    if (privileged) {
        bool has_clock = may_set_clock && capng_have_capability(CAPNG_PERMITTED, CAP_SYS_TIME);
        // Only CAP_SETPCAP empties the bounding set; without it the set
        // stays, and no new privileges (below) keeps execve from using it.
        bool bounds = capng_have_capability(CAPNG_EFFECTIVE, CAP_SETPCAP);
        keep_only_clock(has_clock);
        if (bounds)
            held = capng_apply(CAPNG_SELECT_BOUNDS) == 0;
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
        // Read back rather than trusted to the calls' results: a service
        // manager that already narrowed the sets may refuse capset itself.
        held = held && holds_only_clock(bounds);
    }
    held = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && held;
    if (hardening_owed && !sanitized()) {
        // Built now, and again once connected: what fails to build fails
        // before any name is resolved.
        scmp_filter_ctx filter = socket_filter(-1, may_set_clock);
        held = filter && held;
        if (filter)
            seccomp_release(filter);
    }
    if (hardening_owed && !held)
        return false;
    // Root's identity is kept only where 0 is someone else outside.
    return !root || switched || root_outside != 0;
}

// Once connected, before the first reply byte is read: from here on a run
// only talks on this socket, writes the console and the log, sets the clock
// (where asked), closes and exits. Anything else ends the process.
bool confine_to_socket(intptr_t socket, bool may_set_clock)
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
        return true;
    // The filter's memory is left to the end of the process: freeing it
    // could need calls that the filter refuses.
    scmp_filter_ctx filter = socket_filter(socket, may_set_clock);
    return (filter && seccomp_load(filter) == 0) || !hardening_owed;
}

# A running systemd reads the units anew, and after an upgrade ($1 is 1 or
# more) restarts the timers that were active, on the new units. The log
# stays.
if [ -d /run/systemd/system ]; then
    systemctl daemon-reload >/dev/null 2>&1 || :
    if [ "$1" -ge 1 ]; then
        systemctl try-restart 'garvelux@*.timer' >/dev/null 2>&1 || :
    fi
fi
exit 0

# Removal ($1 is 0, not an upgrade) stops every server's timer and disables
# it, so that none fires the removed program. A run in progress ends by
# itself, and the log stays.
if [ "$1" -eq 0 ]; then
    if [ -d /run/systemd/system ]; then
        systemctl stop 'garvelux@*.timer' >/dev/null 2>&1 || :
    fi
    for link in /etc/systemd/system/*.wants/garvelux@*.timer \
        /etc/systemd/system/*.requires/garvelux@*.timer; do
        if [ -L "$link" ]; then
            systemctl --no-reload disable "${link##*/}" >/dev/null 2>&1 || :
        fi
    done
fi
exit 0

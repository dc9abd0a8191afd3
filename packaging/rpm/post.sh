# Creates the user of garvelux@.service and its log, and has a running
# systemd read the units. Nothing is enabled: the admin enables
# garvelux@SERVER.timer. Where systemd is absent or not running yet (a
# container, an image being built), nothing here fails the transaction, and
# systemd's own services create the user and the log at boot.
systemd-sysusers garvelux.conf >/dev/null 2>&1 || :
systemd-tmpfiles --create garvelux.conf >/dev/null 2>&1 || :
if [ -d /run/systemd/system ]; then
    systemctl daemon-reload >/dev/null 2>&1 || :
fi
exit 0

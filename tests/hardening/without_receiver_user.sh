#!/bin/sh
# Runs a command as if the receiver's system user did not exist: in a mount namespace of its own,
# over a copy of /etc/passwd without it, so that the tests that run beside it keep the user.
# Root only (a server of another user never switches users): exit status 77, skipped, otherwise.
set -eu
if [ "$(id -u)" != 0 ]; then
    echo "without_receiver_user.sh: not root, nothing to hide"
    exit 77
fi
exec unshare --mount --propagation private sh -c '
    set -eu
    copy=$(mktemp)
    grep -v "^skyloom-receiver:" /etc/passwd > "$copy"
    chmod 644 "$copy"
    mount --bind "$copy" /etc/passwd
    rm -f "$copy"
    exec "$@"' without_receiver_user "$@"

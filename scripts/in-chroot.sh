#!/usr/bin/env bash
# in-chroot.sh TREE ROOT COMMAND... : COMMAND inside the Debian tree TREE (the
# sid chroot of noxfile.py), from ROOT, the project, which is mounted at its
# own path inside so that paths read the same inside and out. Run under
# `unshare --mount --propagation private` (noxfile.py does): the mounts end
# with the command, the host never sees them, and removing build/ never reaches
# through them into the project. The host's certificate authorities, pip
# configuration (and what it names: QUENDLE_HOST_PATHS) and name resolution are
# mounted read-only, so pip inside trusts and reaches what pip outside does.
set -e
tree=$1 root=$2; shift 2
mount -t proc proc "$tree/proc"
mount --rbind /dev "$tree/dev"
# QUENDLE_HOST_PATHS is a list of paths, split on spaces. With
# QUENDLE_CHROOT_SETUP set (apt's runs), only name resolution is the host's:
# the tree's own packages write their own certificate store.
host=(/etc/resolv.conf /etc/hosts)
if [ -z "${QUENDLE_CHROOT_SETUP:-}" ]; then
    # shellcheck disable=SC2206
    host+=(/etc/ssl/certs /etc/pip.conf /etc/xdg/pip "$HOME/.config/pip" "$HOME/.pip" ${QUENDLE_HOST_PATHS:-})
fi
for path in "${host[@]}"; do
    [ -e "$path" ] || continue
    if [ -d "$path" ]; then
        mkdir -p "$tree$path"
    elif [ ! -e "$tree$path" ]; then
        mkdir -p "$(dirname "$tree$path")" && touch "$tree$path"
    fi
    mount --bind "$path" "$tree$path"
    mount -o remount,bind,ro "$tree$path" 2>/dev/null || true
done
mkdir -p "$tree$root"
mount --bind "$root" "$tree$root"
exec chroot "$tree" /usr/bin/env -C "$root" "$@"

# Sourced by package-test.sh and systemd-test.sh: a throw-away root file system in which a
# package may be installed and a systemd may boot without touching the host.
#
#   sandbox_unavailable [systemd]   prints why this machine cannot make the sandbox (and, with
#                                   "systemd", boot a systemd in it) and returns 0; returns 1
#                                   with no output when it can
#   sandbox_make_root BASE          mounts BASE/root: an overlay with the host's / as its lower
#                                   layer and a tmpfs (BASE) for its upper one, with proc, a
#                                   read-only sys with cgroup2 mounted afresh, /dev bound in with
#                                   a private tmpfs on /dev/shm, and tmpfs on /run, /tmp and
#                                   /var/tmp. Requires: a private mount namespace of our own
#                                   (unshare --mount) and, for the proc, a PID namespace
#
# Everything written under BASE/root goes to the tmpfs and disappears with the namespace.

sandbox_unavailable() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "not running as root"
        return 0
    fi
    local tool
    for tool in unshare nsenter; do
        command -v "$tool" >/dev/null || { echo "$tool is not installed"; return 0; }
    done
    grep -qw overlay /proc/filesystems || { echo "the kernel has no overlay file system"; return 0; }
    if ! unshare --mount --pid --fork --mount-proc true 2>/dev/null; then
        echo "unshare --mount --pid is not permitted here"
        return 0
    fi
    if ! unshare --mount sh -c 'mount --make-rprivate / && d=$(mktemp -d) &&
            mount -t tmpfs none "$d" && mkdir "$d/u" "$d/w" "$d/r" &&
            mount -t overlay overlay -o "lowerdir=/,upperdir=$d/u,workdir=$d/w" "$d/r"; r=$?;
            umount -R "$d" 2>/dev/null; rmdir "$d"; exit $r' 2>/dev/null; then
        echo "an overlay root cannot be mounted here"
        return 0
    fi
    [ "${1:-}" = systemd ] || return 1
    [ -x /lib/systemd/systemd ] || { echo "systemd is not installed"; return 0; }
    if [ -z "$(sandbox_cgroup_parent)" ]; then
        echo "no writable cgroup2 hierarchy to make a cgroup for the systemd in"
        return 0
    fi
    return 1
}

# The cgroup2 directory under which a new cgroup can be made: the unified hierarchy, whether
# mounted on /sys/fs/cgroup or (hybrid) on /sys/fs/cgroup/unified; empty when there is none.
sandbox_cgroup_parent() {
    local dir probe
    for dir in /sys/fs/cgroup /sys/fs/cgroup/unified; do
        [ "$(stat -f -c %T "$dir" 2>/dev/null)" = cgroup2fs ] || continue
        probe="$dir/kri-probe-$$"
        if mkdir "$probe" 2>/dev/null; then
            rmdir "$probe"
            echo "$dir"
            return
        fi
    done
}

sandbox_make_root() {
    local base=$1 root=$1/root dir
    mount --make-rprivate /
    mount -t tmpfs -o mode=0755 kri-sandbox "$base"
    mkdir "$base/upper" "$base/work" "$root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$root"
    mount -t proc proc "$root/proc"
    mount --bind "$root/proc/sys" "$root/proc/sys"
    mount -o remount,bind,ro "$root/proc/sys"
    mount -t sysfs -o ro sysfs "$root/sys"
    mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=1777 kri-shm "$root/dev/shm"
    mount -t tmpfs -o mode=0755 kri-run "$root/run"
    for dir in tmp var/tmp; do
        mount -t tmpfs -o mode=1777 kri-tmp "$root/$dir"
    done
}

# shellcheck shell=bash
# Sourced by tests/ssh/run.sh and bench/ssh_overhead (bash). Starts OpenSSH servers on loopback
# addresses (127.0.0.2, 127.0.0.3, ...) that stand for the machines of credbatch(1)'s many-machines
# recipe. They are named hash1, hash2, ... in an ssh_config of their own, and each has credbatch
# on its PATH as an administrator would have installed it. Everything lives in one private
# temporary directory.
#
#   ssh_fixture_start TOOL COUNT  starts COUNT servers, sets SSH_FIXTURE_DIR and SSH_FIXTURE_CONFIG,
#                                 and puts a local credbatch on PATH for parallel's ':' machine
#   ssh_fixture_stop              stops every server it started, with its sessions, by PID
#   ssh_fixture_kill_host NAME    kills one server and its sessions at once: the machine is gone
#   ssh_fixture_freeze_host NAME  stops one server and its sessions (SIGSTOP): the machine no
#                                 longer answers, as when its network is gone
#   ssh_fixture_running NAME      the PIDs of credbatch runs on NAME that are still alive
#   ssh_fixture_runs NAME         how many times credbatch was started on NAME ("local" for ':')
#
# "credbatch" on each machine is a two-line script that notes its PID and then execs the binary
# under test, so the tests know where every block ran and which process to kill.
# The caller owns the EXIT trap and must call ssh_fixture_stop from it.

SSH_FIXTURE_DIR=
SSH_FIXTURE_CONFIG=
ssh_fixture_path=
declare -A ssh_fixture_pid=()

ssh_fixture_fail() {
    echo "ssh fixture: $*" >&2
    return 1
}

# shellcheck source=../stop_by_pid.sh
source "$(dirname "${BASH_SOURCE[0]}")/../stop_by_pid.sh"

# Kills one server and everything below it.
ssh_fixture_kill_tree() { kill_pid_tree "$@"; }

# A credbatch for one machine: notes its PID (which exec keeps) and runs the binary under test.
ssh_fixture_install_tool() {
    local machine=$1 tool=$2
    mkdir -p "$SSH_FIXTURE_DIR/$machine/bin"
    : > "$SSH_FIXTURE_DIR/$machine/runs"
    printf '#!/bin/sh\necho $$ >> %q\nexec %q "$@"\n' "$SSH_FIXTURE_DIR/$machine/runs" "$tool" \
        > "$SSH_FIXTURE_DIR/$machine/bin/credbatch"
    chmod 755 "$SSH_FIXTURE_DIR/$machine/bin/credbatch"
}

ssh_fixture_write_sshd_config() {
    local name=$1 address=$2 port=$3 dir=$SSH_FIXTURE_DIR
    cat > "$dir/$name/sshd_config" <<CONFIG
ListenAddress $address:$port
HostKey $dir/$name/host_key
PidFile none
AuthorizedKeysFile $dir/authorized_keys
AllowUsers $(id -un)
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
# No PAM: the system's sshd stack (pam_loginuid and friends) is not this test's business.
UsePAM no
# The keys sit in a directory under /tmp, whose sticky, world-writable mode StrictModes refuses.
StrictModes no
# parallel opens several sessions at once when it starts; do not let the default throttle them.
MaxStartups 100
MaxSessions 100
# This machine's credbatch comes first, whatever else is installed.
SetEnv PATH=$dir/$name/bin:/usr/local/bin:/usr/bin:/bin
X11Forwarding no
AllowTcpForwarding no
PrintMotd no
LogLevel VERBOSE
CONFIG
}

# Starts one sshd on ADDRESS, trying a few random ports in case one is taken, and sets
# ssh_fixture_port. Fails, showing the server's log, when none comes up. (Not called in a command
# substitution: the server must be this shell's own child, to be waited for.)
ssh_fixture_start_sshd() {
    local name=$1 address=$2 port pid log=$SSH_FIXTURE_DIR/$1/sshd.log _
    for _ in 1 2 3 4 5 6 7 8; do
        port=$((20000 + RANDOM % 40000))
        ssh_fixture_write_sshd_config "$name" "$address" "$port"
        : > "$log"
        # Should this shell be killed outright, past any trap, the server goes with it.
        setpriv --pdeathsig KILL /usr/sbin/sshd -D -f "$SSH_FIXTURE_DIR/$name/sshd_config" -E "$log" </dev/null &
        pid=$!
        ssh_fixture_pid[$name]=$pid
        for _ in $(seq 50); do
            if ! kill -0 "$pid" 2>/dev/null; then
                break
            fi
            if grep -q "Server listening on $address port $port" "$log"; then
                ssh_fixture_port=$port
                return 0
            fi
            sleep 0.1
        done
        ssh_fixture_kill_tree "$pid" KILL
        unset "ssh_fixture_pid[$name]"
        grep -q 'Bind to port\|Address already in use' "$log" || break
    done
    echo "ssh fixture: sshd for $name on $address did not come up; its log:" >&2
    sed 's/^/    /' "$log" >&2
    return 1
}

ssh_fixture_start() {
    local tool count=$2 i name address port
    tool=$(realpath -e "$1") || { ssh_fixture_fail "no tool at $1"; return 1; }
    [ -x /usr/sbin/sshd ] || { ssh_fixture_fail "/usr/sbin/sshd is missing (Debian package openssh-server)"; return 1; }
    command -v ssh >/dev/null || { ssh_fixture_fail "ssh is missing (Debian package openssh-client)"; return 1; }
    command -v ssh-keygen >/dev/null || { ssh_fixture_fail "ssh-keygen is missing (Debian package openssh-client)"; return 1; }

    SSH_FIXTURE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/credbatch-ssh.XXXXXX")
    chmod 700 "$SSH_FIXTURE_DIR"
    SSH_FIXTURE_CONFIG=$SSH_FIXTURE_DIR/ssh_config

    # sshd started by root insists on its privilege separation directory, which the system's
    # service manager makes at boot only where sshd runs as a service. It is the standard,
    # empty, root-owned directory, so it is left in place for any sshd after us.
    if [ "$(id -u)" -eq 0 ] && [ ! -d /run/sshd ]; then
        mkdir -m 0755 /run/sshd
    fi

    ssh-keygen -q -t ed25519 -N '' -C credbatch-test-client -f "$SSH_FIXTURE_DIR/client_key"
    cp "$SSH_FIXTURE_DIR/client_key.pub" "$SSH_FIXTURE_DIR/authorized_keys"
    : > "$SSH_FIXTURE_DIR/known_hosts"
    : > "$SSH_FIXTURE_CONFIG"

    ssh_fixture_install_tool local "$tool"
    ssh_fixture_path=$PATH
    PATH=$SSH_FIXTURE_DIR/local/bin:$PATH

    for i in $(seq "$count"); do
        name=hash$i
        address=127.0.0.$((i + 1))
        ssh_fixture_install_tool "$name" "$tool"
        ssh-keygen -q -t ed25519 -N '' -C "$name" -f "$SSH_FIXTURE_DIR/$name/host_key"
        ssh_fixture_start_sshd "$name" "$address" || return 1
        port=$ssh_fixture_port
        echo "$name $(cut -d' ' -f1,2 "$SSH_FIXTURE_DIR/$name/host_key.pub")" >> "$SSH_FIXTURE_DIR/known_hosts"
        cat >> "$SSH_FIXTURE_CONFIG" <<CONFIG
Host $name
    HostName $address
    Port $port
    HostKeyAlias $name
CONFIG
    done
    cat >> "$SSH_FIXTURE_CONFIG" <<CONFIG
Host *
    User $(id -un)
    IdentityFile $SSH_FIXTURE_DIR/client_key
    IdentitiesOnly yes
    UserKnownHostsFile $SSH_FIXTURE_DIR/known_hosts
    GlobalKnownHostsFile /dev/null
    StrictHostKeyChecking yes
    CheckHostIP no
    UpdateHostKeys no
    BatchMode yes
    ConnectTimeout 5
    # What credbatch(1) asks of an administrator's configuration, scaled down for a test: a machine
    # that stops answering is given up (ssh exits 255) instead of being waited for without end.
    ServerAliveInterval 1
    ServerAliveCountMax 4
    ControlMaster no
    ControlPath none
    LogLevel ERROR
CONFIG

    # Log in to each machine once and ask which credbatch it would run: a server that accepts no
    # login, or a PATH that finds another credbatch, fails here and not halfway through a test.
    for i in $(seq "$count"); do
        name=hash$i
        local found
        found=$(ssh -F "$SSH_FIXTURE_CONFIG" "$name" 'command -v credbatch' </dev/null) || {
            echo "ssh fixture: cannot log in to $name; its server's log:" >&2
            sed 's/^/    /' "$SSH_FIXTURE_DIR/$name/sshd.log" >&2
            return 1
        }
        [ "$found" = "$SSH_FIXTURE_DIR/$name/bin/credbatch" ] ||
            { ssh_fixture_fail "$name runs credbatch from '$found', not the binary under test"; return 1; }
    done
}

ssh_fixture_kill_host() {
    local pid=${ssh_fixture_pid[$1]:-}
    [ -n "$pid" ] || { ssh_fixture_fail "no server named $1 is running"; return 1; }
    ssh_fixture_kill_tree "$pid" KILL
    unset "ssh_fixture_pid[$1]"
}

ssh_fixture_freeze_host() {
    local pid=${ssh_fixture_pid[$1]:-} tree
    [ -n "$pid" ] || { ssh_fixture_fail "no server named $1 is running"; return 1; }
    kill -STOP "$pid"
    tree=$(pid_descendants "$pid")
    # shellcheck disable=SC2086
    [ -z "$tree" ] || kill -STOP $tree
}

ssh_fixture_running() {
    local pid
    while read -r pid; do
        [ -d "/proc/$pid" ] && echo "$pid"
    done < "$SSH_FIXTURE_DIR/$1/runs"
    return 0
}

ssh_fixture_runs() {
    wc -l < "$SSH_FIXTURE_DIR/$1/runs"
}

ssh_fixture_stop() {
    local name
    for name in "${!ssh_fixture_pid[@]}"; do
        ssh_fixture_kill_tree "${ssh_fixture_pid[$name]}" TERM
        unset "ssh_fixture_pid[$name]"
    done
    if [ -n "$ssh_fixture_path" ]; then
        PATH=$ssh_fixture_path
        ssh_fixture_path=
    fi
    if [ -n "$SSH_FIXTURE_DIR" ]; then
        rm -rf "$SSH_FIXTURE_DIR"
        SSH_FIXTURE_DIR=
    fi
}

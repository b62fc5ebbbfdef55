#!/bin/sh
# kvterm on a console: Wine's console in a tmux pane, typed into with send-keys. Keys go
# out as they are typed (the capture's "out" lines hold their bytes), what comes back is
# shown with its VT sequences processed, and the escape key ends with exit code 0. With
# piped input, Ctrl+C ends with 0, also while a send waits for a device that reads no
# more.
#   console_test.sh KVTERM.EXE WINE-RUN.SH    (in the folder of kvterm's tests)
# Ctrl+C cannot be typed as a key here: the pane's terminal turns it into a signal, which
# Wine delivers as the console's Ctrl+C event; its translation into a key for the device
# is tested as a function (kvterm_parts_test.cpp).
set -eu
kvterm=$1
run=$2
work=console-test
rm -rf "$work"
mkdir -p "$work"
tmux="tmux -L kvterm-console-$$-keys"
trap '$tmux kill-server 2>/dev/null || true' EXIT

fail() {
    echo "FAILED: $*" >&2
    echo "--- the pane:" >&2
    $tmux capture-pane -p >&2 || true
    echo "--- the capture:" >&2
    cat "$work/capture.log" >&2 || true
    exit 1
}

# Waits up to 60 s for the command to succeed.
wait_for() {
    i=0
    until eval "$1" >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -le 600 ] || fail "waited in vain for: $1"
        sleep 0.1
    done
}

# The bytes that went out, as hexadecimal pairs on one line.
sent() {
    sed -n 's/^.* debug out [0-9A-F]\{8\}  \(.\{49\}\).*$/\1/p' "$work/capture.log" |
        tr -s ' \n' '  ' | sed 's/^ //; s/ $//'
}

cat >"$work/echo.world" <<'EOF'
[radio r]
address 00:1A:7D:DA:70:01
[device echo]
name "Echo Box"
address 00:1A:7D:DA:71:20
radios r
remembered yes
service class=0x1101 channel=3 name="Serial Port" peer=echo
[device stall]
name "Stall Box"
address 00:1A:7D:DA:71:30
radios r
remembered yes
service class=0x1101 channel=3 name="Serial Port" peer=echo stall_after=1000
EOF

$tmux new-session -d -x 100 -y 20 \
    "$run $kvterm connect 'echo box' --world $work/echo.world --log $work/capture.log; \
     echo \$? >$work/exit-code; sleep 600"

wait_for "$tmux capture-pane -p | grep -q 'kvterm: connected to Echo Box'"
$tmux capture-pane -p | head -1 |
    grep -qx 'kvterm: keys go to the device as they are typed; Ctrl+\] ends' ||
    fail "the first line does not say how the session ends"

# Characters and Enter (CR) go out as typed; the echo shows them.
$tmux send-keys h i Enter
wait_for "grep -q ' debug in  00000000  68 69 0D ' $work/capture.log"
[ "$(sent)" = "68 69 0D" ] || fail "sent $(sent)"

# Cursor, editing and function keys as VT sequences; Backspace as DEL; UTF-8; Alt as ESC.
$tmux send-keys Up F1 F5 C-Up Delete BTab BSpace é M-x
expected="68 69 0D 1B 5B 41 1B 4F 50 1B 5B 31 35 7E 1B 5B 31 3B 35 41 1B 5B 33 7E"
expected="$expected 1B 5B 5A 7F C3 A9 1B 78"
wait_for '[ "$(sent)" = "$expected" ]'

# A colour sequence that the device sends back is processed, not shown as text.
$tmux send-keys Escape '[' 3 1 m R E D Escape '[' 0 m
wait_for "$tmux capture-pane -p | grep -q RED"
$tmux capture-pane -p | grep -q '\[31m' && fail "the colour sequence shows as text"
$tmux capture-pane -p -e | grep -q "$(printf '\033')\[31mRED" ||
    fail "RED is not shown in red"

# The escape key ends the session, sending nothing.
count=$(grep -c ' debug out ' "$work/capture.log")
$tmux send-keys 'C-]'
wait_for "[ -s $work/exit-code ]"
[ "$(cat "$work/exit-code")" = 0 ] || fail "exit code $(cat "$work/exit-code")"
[ "$(grep -c ' debug out ' "$work/capture.log")" = "$count" ] || fail "the escape key was sent"
grep -q 'detail kvterm: closed' "$work/capture.log" || fail "no close in the capture"
$tmux kill-server
tmux="tmux -L kvterm-console-$$-pipe" # a server of its own: the last one may still go

# Piped input that never ends, to a device that stops reading: the send waits, and
# Ctrl+C (a signal that Wine turns into the console's event) ends it.
$tmux new-session -d -x 100 -y 20 \
    "trap true INT; $run $kvterm connect 'stall box' --world $work/echo.world \
     </dev/zero >/dev/null; echo \$? >$work/pipe-exit-code; sleep 600"
wait_for "$tmux capture-pane -p | grep -q 'kvterm: connected to Stall Box.*; Ctrl+C ends'"
sleep 1 # the socket's buffers fill at once; then the send waits
$tmux send-keys C-c
wait_for "[ -s $work/pipe-exit-code ]"
[ "$(cat "$work/pipe-exit-code")" = 0 ] || fail "exit code $(cat "$work/pipe-exit-code")"
$tmux capture-pane -p | grep -q 'kvterm: closed' || fail "no close after Ctrl+C"
echo "kvterm on the console: keys, VT output, the escape key and Ctrl+C work"

#!/usr/bin/env bash
# Starts the real program under Xvfb with a folder of envelopes (one of them
# large, one for another passphrase), types the passphrase and presses Decrypt
# with synthesized X input, saves a screenshot while the large envelope
# decrypts (the speed display shows), waits for every plaintext, checks that
# the reload question is transient for the window, answers it, asks the window
# to close as a window manager would, and checks the exit code and the saved
# settings. Then once more on a screen scaled to 200%, started with Enter in
# the passphrase field, for a second screenshot (<screenshot>-2x.png). Last, an
# idle window under strace counts how often it wakes.
#
#   smoke_test.sh <korvelcrypt> <smoke_helper> <screenshot.png>
set -euo pipefail
# The texts as written, whatever the language of the machine running the test.
export LC_ALL=C.UTF-8 LANGUAGE=
app=$1
helper=$2
screenshot=$3
count=6
large_mib=384

work=$(mktemp -d)
xvfb_pid=""
app_pid=""
throttle_pid=""
cleanup() {
  [ -n "$throttle_pid" ] && kill "$throttle_pid" 2>/dev/null || true
  [ -n "$app_pid" ] && kill -CONT "$app_pid" 2>/dev/null || true
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "smoke: $*" >&2; exit 1; }
# The display number comes before the server takes connections on every
# transport: a program started at once may find nothing there yet.
x_answers() {
  for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
# Waits for states, never for a guessed time. xdotool's own --sync search ends
# with BadWindow when a window disappears while it walks the tree, so the
# search is repeated here instead, a failed walk being just another look.
find_window() { # <title regex> [tries of 0.1 s]: prints the first visible window with that title
  local id
  for _ in $(seq "${2:-300}"); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1) || true
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
window_gone() { # <title regex>: true once no visible window has that title (for up to 30 s)
  for _ in $(seq 300); do
    [ -z "$(xdotool search --onlyvisible --name "$1" 2>/dev/null || true)" ] && return 0
    sleep 0.1
  done
  return 1
}
focus() { # <window>: gives it the keyboard and waits until it has it
  for _ in $(seq 100); do
    xdotool windowfocus "$1" 2>/dev/null || true
    [ "$(xdotool getwindowfocus 2>/dev/null || true)" = "$1" ] && return 0
    sleep 0.1
  done
  return 1
}
# Types the passphrase into the focused window and starts the run with the given
# keys; `started` says when the run has begun. Keys typed while the busy dialog
# of the load still held the input are lost, so the attempt is repeated until
# the run is seen to begin.
start_run() { # <window> <started-check> <keys...>
  local wid=$1 started=$2
  shift 2
  for _ in 1 2 3 4 5; do
    window_gone '^Processing$' || fail "the busy dialog stayed"
    focus "$wid" || fail "the window did not take the keyboard"
    xdotool key ctrl+a BackSpace
    xdotool type --delay 30 secret
    xdotool key "$@"
    for _ in $(seq 100); do "$started" && return 0; sleep 0.05; done
  done
  return 1
}

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$work/envelopes" "$work/expected"
chmod 700 "$XDG_RUNTIME_DIR"
"$helper" envelopes "$work/envelopes" "$work/expected" "$count" secret
"$helper" large "$work/envelopes/large.bin.korvel-env" "$large_mib" secret || fail "no large envelope"
# Written for another passphrase: it fails, and the run ends with the reload question.
mkdir -p "$work/other" "$work/other-expected"
"$helper" envelopes "$work/other" "$work/other-expected" 1 other
mv "$work/other/file0.txt.korvel-env" "$work/envelopes/other.txt.korvel-env"

# A private X server on a free display number.
# Whatever runs in the background writes to files, never to ctest's pipe: were
# the script killed for its time, nothing left behind would hold that open.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(head -n1 "$work/display")
x_answers || fail "Xvfb does not answer on $DISPLAY"
export QT_QPA_PLATFORM=xcb

"$app" "$work/envelopes" >"$work/app.log" 2>&1 &
app_pid=$!

wid=$(find_window "^Korvel Crypt$") || { cat "$work/app.log" >&2; fail "no window"; }
# The program made itself non-dumpable: the files under /proc/<pid> belong to
# root then (which tells only when the test does not run as root itself).
if [ "$(id -u)" != 0 ] && [ "$(stat -c %u "/proc/$app_pid/status")" != 0 ]; then
  fail "the program's process is dumpable"
fi
# The load runs behind the busy dialog; once it has gone, Decrypt is enabled.
large_in=$work/envelopes/large.bin.korvel-env
large_out=$work/envelopes/large.bin
large_size=$((large_mib << 20))
# The plaintext gets its name only when complete: the source, open in the
# program, says that it is being decrypted.
decrypting_large() { ls -l "/proc/$app_pid/fd" 2>/dev/null | grep -qF -- "$large_in"; }
start_run "$wid" decrypting_large Tab space || { cat "$work/app.log" >&2; fail "the large envelope did not start"; }

# Slow the program down (it runs a tenth of the time) while the large envelope
# decrypts, so that the screenshot catches the speed display with a figure:
# the display needs a second of the run before it shows one.
(
  while kill -0 "$app_pid" 2>/dev/null && [ ! -e "$work/throttle-off" ]; do
    kill -STOP "$app_pid" 2>/dev/null || true
    sleep 0.15
    kill -CONT "$app_pid" 2>/dev/null || true
    sleep 0.01
  done
  kill -CONT "$app_pid" 2>/dev/null || true
) >/dev/null 2>&1 &
throttle_pid=$!
# A pause for the picture only: the speed display shows a figure after a
# second of the run.
sleep 2.5
decrypting_large || echo "smoke: the large envelope was done before the screenshot" >&2
"$helper" shot "$wid" "$screenshot" || { touch "$work/throttle-off"; fail "no screenshot"; }
touch "$work/throttle-off"
wait "$throttle_pid" || true
throttle_pid=""
kill -CONT "$app_pid" 2>/dev/null || true

done_all=0
for _ in $(seq 300); do
  done_all=1
  for i in $(seq 0 $((count - 1))); do
    if ! cmp -s "$work/envelopes/file$i.txt" "$work/expected/file$i.txt"; then
      done_all=0
      break
    fi
  done
  [ "$(stat -c %s "$large_out" 2>/dev/null || echo 0)" = "$large_size" ] || done_all=0
  [ $done_all = 1 ] && break
  sleep 0.1
done
[ $done_all = 1 ] || { cat "$work/app.log" >&2; fail "not every file was decrypted"; }

# The reload question belongs to the window: transient for it (the window
# manager keeps it above the window), not a free top-level window.
question=$(find_window '^Reload Failed Tasks$') || fail "no reload question"
transient_for=$(xprop -id "$question" WM_TRANSIENT_FOR | sed -n 's/.*window id # //p')
[ -n "$transient_for" ] || fail "the reload question is transient for no window"
[ $((transient_for)) = $((wid)) ] ||
  fail "the reload question is transient for $transient_for, not for the window $(printf '0x%x' "$wid")"
# Answered as the window manager's close button would: the failure stays.
"$helper" close "$question" || fail "close request to the reload question not sent"
window_gone '^Reload Failed Tasks$' || fail "the reload question stayed"
[ ! -e "$work/envelopes/other.txt" ] || fail "the envelope for another passphrase was decrypted"

"$helper" close "$wid" || fail "close request not sent"
status=0
for _ in $(seq 300); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$app_pid" 2>/dev/null; then
  [ -n "${SMOKE_DEBUG:-}" ] && gdb -p "$app_pid" -batch -ex "thread apply all bt" >&2 2>/dev/null
  cat "$work/app.log" >&2
  fail "the program did not end after the close request"
fi
wait "$app_pid" || status=$?
app_pid=""
[ "$status" = 0 ] || { cat "$work/app.log" >&2; fail "exit code $status"; }

settings=$XDG_CONFIG_HOME/Korvel/Crypt.conf
[ -f "$settings" ] || fail "settings not saved"
grep -q '^\[FileDialog\]' "$settings" || fail "no FileDialog group in $settings"
grep -q '^currentDir=' "$settings" || fail "no currentDir in $settings"
# The window at 200% (QT_SCALE_FACTOR=2), on a second X server large enough for
# it, after a run: its images come from their twice-sized renderings and its
# text from scaled fonts, so the picture is as sharp as the first one.
screenshot2x=${screenshot%.png}-2x.png
kill "$xvfb_pid" 2>/dev/null || true
wait "$xvfb_pid" 2>/dev/null || true
Xvfb -displayfd 3 -screen 0 1600x1200x24 -nolisten tcp 3>"$work/display2x" >"$work/xvfb2x.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display2x" ] && break; sleep 0.1; done
[ -s "$work/display2x" ] || fail "the second Xvfb did not start"
export DISPLAY=:$(head -n1 "$work/display2x")
x_answers || fail "the second Xvfb does not answer on $DISPLAY"
mkdir -p "$work/envelopes2x" "$work/expected2x"
"$helper" envelopes "$work/envelopes2x" "$work/expected2x" 3 secret
QT_SCALE_FACTOR=2 "$app" "$work/envelopes2x" >"$work/app2x.log" 2>&1 &
app_pid=$!
wid=$(find_window "^Korvel Crypt$") || { cat "$work/app2x.log" >&2; fail "no window at 200%"; }
decrypted2x() {
  for i in 0 1 2; do cmp -s "$work/envelopes2x/file$i.txt" "$work/expected2x/file$i.txt" || return 1; done
}
# Enter in the passphrase field starts decrypting, as the Decrypt button does.
start_run "$wid" decrypted2x Return || true
decrypted2x || { cat "$work/app2x.log" >&2; fail "not every file was decrypted at 200%"; }
sleep 1.5
width=$(xwininfo -id "$wid" | sed -n 's/^ *Width: *//p')
[ "$width" -ge 1136 ] || fail "the window at 200% is $width pixels wide, not twice 568 or more"
"$helper" shot "$wid" "$screenshot2x" || fail "no screenshot at 200%"
# close_and_wait <log> <what>: asks the window to close as a window manager
# would, and expects the program to end with 0.
close_and_wait() {
  "$helper" close "$wid" || fail "close request not sent $2"
  for _ in $(seq 300); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  local status=0
  wait "$app_pid" || status=$?
  app_pid=""
  [ "$status" = 0 ] || { cat "$1" >&2; fail "exit code $status $2"; }
}
close_and_wait "$work/app2x.log" "at 200%"

# Idle means idle: a window that does nothing wakes the processor at most about
# once a second. The program runs under strace, which notes when each of its
# threads returns to wait for events; once the start-up text has given way to
# the counts (5 s), ten seconds are counted.
idle_seconds=10
# (LeakSanitizer cannot work under ptrace: the sanitizer build's leak check is off here.)
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
  strace -f -qq -ttt -e trace=poll,ppoll,select,pselect6,epoll_wait,epoll_pwait -o "$work/idle.trace" \
  "$app" --new-instance >"$work/idle.log" 2>&1 &
app_pid=$!
wid=$(find_window '^Korvel Crypt$') || fail "no idle window"
sleep 6
from=$(date +%s.%N)
sleep "$idle_seconds"
to=$(date +%s.%N)
wakes=$(awk -v from="$from" -v to="$to" '$2 >= from && $2 < to && !/resumed>/' "$work/idle.trace" | wc -l)
close_and_wait "$work/idle.log" "of the idle window"
[ "$wakes" -gt 0 ] || fail "strace saw no waits of the idle window: nothing was measured"
[ "$wakes" -le $((idle_seconds * 3 / 2)) ] ||
  { awk -v from="$from" -v to="$to" '$2 >= from && $2 < to && !/resumed>/' "$work/idle.trace" | head -n 40 >&2;
    fail "the idle window woke $wakes times in $idle_seconds s"; }

echo "smoke: $count files and one of $large_mib MiB decrypted, reload question transient for the window, exit 0," \
  "settings saved, screenshots $screenshot and $screenshot2x, idle window woke $wakes times in $idle_seconds s"

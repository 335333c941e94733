#!/bin/bash
# Inside the test VM: runs the program (the arguments) and, while it sends
# an image (the drive model's trace shows WRITE BUFFER chunks arriving and no
# activation yet), stops and continues it again and again, as Ctrl-Z and
# `fg`, SIGSTOP and SIGCONT or a debugger attaching would. Ends with the
# program's exit code; says on standard error how often it was stopped while
# the image went out.
set -u
trace=$KVFW_REAL_STACK_JOB/trace
chunk_sent() { grep -q 'cdb=3b04' "$trace" 2>/dev/null; }
activated() { grep -q 'cdb=3b05' "$trace" 2>/dev/null; }
"$@" &
pid=$!
# Not ended (an ended program stays a zombie until it is waited for).
running() { grep -q '^State:[[:space:]]*[^Z]' "/proc/$pid/status" 2>/dev/null; }
until chunk_sent || ! running; do sleep 0.05; done
# Stopped most of the time, it runs a few milliseconds at a time (a wait
# without a new process: read on a FIFO nobody writes), a command or a few:
# a stop then lands while it waits for the drive more often than not.
quiet=$(mktemp -u)
mkfifo "$quiet"
exec {quiet_fd}<>"$quiet"
rm -f "$quiet"
stops=0
while kill -STOP "$pid" 2>/dev/null && running && ! activated; do
  sleep 0.02
  kill -CONT "$pid"
  stops=$((stops + 1))
  read -r -t 0.005 -u "$quiet_fd" || true
done
kill -CONT "$pid" 2>/dev/null
wait "$pid"
status=$?
echo "stopped and continued $stops times during the download" >&2
exit "$status"

#!/bin/sh
# Runs inside the terminal under test and starts the program once for every
# line read from the FIFO DIR/control: a line names a directory under DIR that
# the test has made, which receives `stty -g` before and after the run, the
# stand-ins' log (calls) and last the exit status (status). The runner's
# process id goes to DIR/runner.pid and the terminal's device to DIR/tty
# first, so that the test can find the program and watch the terminal.
#   runner.sh DIR PROGRAM STANDINS
dir=$1
program=$2
standins=$3
echo $$ >"$dir/runner.pid"
tty >"$dir/tty.new" && mv "$dir/tty.new" "$dir/tty"
while read -r run <"$dir/control"; do
    [ "$run" = quit ] && exit 0
    out=$dir/$run
    stty -g >"$out/stty-before"
    PACPICK_TERMINALS_LOG=$out/calls PATH=$standins:$PATH "$program"
    status=$?
    stty -g >"$out/stty-after"
    echo "$status" >"$out/status.new" && mv "$out/status.new" "$out/status"
done

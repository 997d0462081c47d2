#!/bin/busybox sh
# The first process of the test machine. It loads the drivers, runs tolvaner
# on the port of the driver under test (vmcheck=uart_8250|ftdi|acm on the kernel
# command line) and reports on the console in lines starting "@vm ", which the
# host reads; it asks the host for what only the host can do (restart the
# device, unplug the adapter) with "@vm sim ...", "@vm unplug", "@vm replug"
# and waits for a line back; "@vm stall" asks it to stop reading the line
# while keeping it open. Then it powers the machine off.
/bin/busybox mkdir -p /proc /sys /dev /tmp
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# Nothing the kernel logs may land between the report's lines.
echo 1 >/proc/sys/kernel/printk

say() {
    echo "@vm $*"
    echo "$(cut -d' ' -f1 /proc/uptime) $*" >>/tmp/steps
}
# Each line of a file, on the report, after a label.
show() { sed "s/^/@vm $1 /" "$2"; echo; }
finish() {
    say done
    sync
    poweroff -f
}

driver=$(sed -n 's/.*vmcheck=\([a-z0-9_]*\).*/\1/p' /proc/cmdline)
for module in $(cat /modules.list); do
    insmod "/modules/$module" || say "error insmod $module"
done

# Waits up to 20 s for a device node to come (or, with "gone", to go).
await() {
    i=0
    while [ $i -lt 400 ]; do
        if [ "$2" = gone ]; then [ -e "$1" ] || return 0; else [ -e "$1" ] && return 0; fi
        sleep 0.05
        i=$((i + 1))
    done
    say "error $1 did not ${2:-come}"
    return 1
}

# Waits up to 20 s for FILE to hold TEXT.
await_text() {
    i=0
    while ! grep -q "$2" "$1" 2>/dev/null; do
        [ $i -lt 400 ] || { say "error no '$2' in $1"; return 1; }
        sleep 0.05
        i=$((i + 1))
    done
}

gadget=/sys/kernel/config/usb_gadget/meter
case $driver in
uart_8250)
    port=/dev/ttyS1
    ;;
ftdi)
    port=/dev/ttyUSB0
    # The whole session finds the adapter by its USB identity, not its name.
    session_port=usb:0403:6001
    ;;
acm)
    port=/dev/ttyACM0
    mount -t configfs none /sys/kernel/config
    mkdir $gadget $gadget/functions/acm.0 $gadget/configs/c.1
    echo 0x1209 >$gadget/idVendor
    echo 0x0001 >$gadget/idProduct
    ln -s $gadget/functions/acm.0 $gadget/configs/c.1/
    ls /sys/class/udc >$gadget/UDC
    await /dev/ttyGS0
    ;;
*)
    say "error no driver named on the command line"
    finish
    ;;
esac
await $port || finish

# The device: on the host's side of the line for 8250 and ftdi, here on the
# gadget's side for acm. Its trace goes to /tmp/trace.
sim_pid=
device() {
    if [ $driver = acm ]; then
        [ -n "$sim_pid" ] && kill $sim_pid 2>/dev/null && wait $sim_pid
        rm -f /tmp/sim
        tolvaner-sim --trace --port /dev/ttyGS0 "$@" >/tmp/sim 2>>/tmp/trace &
        sim_pid=$!
        await_text /tmp/sim "device on"
    else
        say sim "$@"
        read -r reply
    fi
}

# The device stops reading but keeps the line open.
stall() {
    if [ $driver = acm ]; then
        kill $sim_pid && wait $sim_pid
        sleep 1000 </dev/ttyGS0 &
        stty -F /dev/ttyGS0 raw -echo
    else
        say stall && read -r reply
    fi
}

unplug() {
    if [ $driver = acm ]; then echo "" >$gadget/UDC; else say unplug && read -r reply; fi
}

replug() {
    await $port gone
    if [ $driver = acm ]; then ls /sys/class/udc >$gadget/UDC; else say replug && read -r reply; fi
    await $port && device
}

# The port list, read from the guest's sysfs.
tolvaner --list >/tmp/list 2>&1
say "status list $?"
show "out list" /tmp/list

# A whole session: every setting, then every readback (the host compares it
# with the same input's session on a pty).
device
timeout 60 tolvaner "${session_port:-$port}" </session >/tmp/out 2>&1
say "status session $?"
show "out session" /tmp/out

# The modes one after another, as a script runs them: the device must have
# its 50 ms between the last byte of one run and the first of the next, as
# between any two bytes.
tolvaner --set v=1000 $port >/tmp/out 2>&1
say "status modes-set $?"
tolvaner --read $port >>/tmp/out 2>&1
say "status modes-read $?"
show "out modes" /tmp/out

# While one tolvaner holds the port: its line settings, and a second refused.
# A session fed through a FIFO, with a query answered: tolvaner holds the
# port until fd 3 closes. The FIFO is opened read-write, which never blocks:
# a blocking open can be cut short by a signal, and this shell is init.
mkfifo /tmp/held
start_held_session() {
    rm -f /tmp/out
    tolvaner $port </tmp/held >/tmp/out 2>&1 &
    held=$!
    exec 3<>/tmp/held
    echo "r v" >&3
    await_text /tmp/out "Pulse Value ="
}
start_held_session
say "stty $(stty -a -F $port 2>/dev/null | tr '\n' ' ')"
echo modem | port-probe $port >/tmp/modem 2>&1
show "out modem" /tmp/modem
echo x | timeout 10 tolvaner $port >/tmp/second 2>&1
say "status second $?"
show "out second" /tmp/second
echo x >&3
exec 3>&-
wait $held
say "status held $?"
show "out held" /tmp/out

# A spoiled answer.
device --fault truncate
echo "r v x" | timeout 30 tolvaner $port >/tmp/out 2>&1
say "status fault $?"
show "out fault" /tmp/out
device

# Another program holding the port: cat (no lock at all), a live UUCP lock
# file; a stale one, whose process is gone, holds nothing. stty first: an
# open without CLOCAL would wait for carrier, and cat would read an end of
# file at once from the port as tolvaner leaves it (VMIN 0).
stty -F $port clocal min 1
# Waits up to 20 s for process $1 to have the port open.
await_holder() {
    i=0
    until ls -l /proc/$1/fd 2>/dev/null | grep -q "$port"; do
        [ $i -lt 400 ] || { say "error $1 did not open $port"; return 1; }
        sleep 0.05
        i=$((i + 1))
    done
}
cat $port >/dev/null &
holder=$!
await_holder $holder
say "status cat-pid $holder"
echo x | timeout 10 tolvaner $port >/tmp/out 2>&1
say "status by-cat $?"
show "out by-cat" /tmp/out
kill $holder
wait $holder 2>/dev/null
mkdir -p /var/lock /run/lock
sleep 60 &
holder=$!
lock=/var/lock/LCK..${port#/dev/}
printf '%10d\n' $holder >$lock
echo x | timeout 10 tolvaner $port >/tmp/out 2>&1
say "status by-lock $?"
show "out by-lock" /tmp/out
kill $holder
wait $holder 2>/dev/null
# Beside the stale one, a number no process can have (as a pid_t, -1).
printf '%10d\n' 4294967295 >$lock
lock=/run/lock/LCK..${port#/dev/}
printf '%10d\n' $holder >$lock
echo "r v x" | timeout 30 tolvaner $port >/tmp/out 2>&1
say "status stale-lock $?"
show "out stale-lock" /tmp/out
rm -f $lock /var/lock/LCK..${port#/dev/}
# Anyone may make the lock file a FIFO: it holds nothing, and must not hold
# the program up either.
mkfifo /var/lock/LCK..${port#/dev/}
echo "r v x" | timeout 10 tolvaner $port >/tmp/out 2>&1
say "status fifo-lock $?"
show "out fifo-lock" /tmp/out
rm -f /var/lock/LCK..${port#/dev/}

# A holder that names itself with an escape sequence: shown escaped, never
# raw. printf is the shell's own, so the name is the shell's; sleep gets no
# copy of the port.
sh -c 'printf "h\033[7mold" >/proc/self/comm; exec 4<"$0"; sleep 60 4<&- & wait' $port &
holder=$!
await_holder $holder
say "status name-pid $holder"
echo x | timeout 10 tolvaner $port >/tmp/out 2>&1
say "status by-name $?"
show "out by-name" /tmp/out
kill $holder
wait $holder 2>/dev/null

# A holder that dropped DTR: a refused tolvaner leaves it low, for it never
# opens the port; nor does one given the port as its trace file.
rm -f /tmp/probe-in
mkfifo /tmp/probe-in
port-probe $port </tmp/probe-in >/tmp/probe 2>&1 &
probe=$!
exec 5<>/tmp/probe-in
echo dtr-off >&5
await_text /tmp/probe .
echo x | timeout 10 tolvaner $port >/tmp/out 2>&1
say "status by-probe $?"
show "out by-probe" /tmp/out
# The port as the trace file (the arguments swapped): refused, never opened.
tolvaner --trace $port /tmp/no-such-port </dev/null >/tmp/out 2>&1
say "status trace-port $?"
show "out trace-port" /tmp/out
echo modem >&5
exec 5>&-
wait $probe
show "probe dtr" /tmp/probe

# The adapter pulled out: at the prompt with commands then typed, and while a
# query waits out its settle time. The kernel log times the unplug and the end.
if [ $driver != uart_8250 ]; then
    for when in prompt settle; do
        rm -f /tmp/in /tmp/out
        mkfifo /tmp/in
        tolvaner $port </tmp/in >/tmp/out 2>&1 &
        pid=$!
        exec 4>/tmp/in
        echo i >&4
        await_text /tmp/out "Product ID"
        # Only once tolvaner has the port: it refuses one another process holds.
        rm -f /tmp/probe-in
        mkfifo /tmp/probe-in
        port-probe $port </tmp/probe-in >/tmp/probe 2>&1 &
        probe=$!
        exec 5>/tmp/probe-in
        echo look >&5
        until [ -s /tmp/probe ]; do sleep 0.05; done
        if [ $when = prompt ]; then
            unplug
            await $port gone
            echo "r v r s r m" >&4
        else
            echo "r v" >&4
            sleep 0.25
            unplug
        fi
        (sleep 15 && kill -9 $pid) 2>/dev/null 4>&- 5>&- &
        watchdog=$!
        wait $pid
        status=$?
        echo "vmcheck: tolvaner exited" >/dev/kmsg
        kill $watchdog 2>/dev/null
        exec 4>&-
        await $port gone
        echo write >&5
        exec 5>&-
        wait $probe
        show "probe unplug-$when" /tmp/probe
        say "status unplug-$when $status"
        show "out unplug-$when" /tmp/out
        dmesg | grep -E 'USB disconnect|vmcheck: tolvaner exited' | tail -2 >/tmp/log
        show "log unplug-$when" /tmp/log
        replug
    done
fi

# The adapter pulled and plugged back after $1 seconds, its USB serial number
# kept (for CDC-ACM the gadget unbound and bound again, its device restarted
# while it is unbound). Says "plugged $2 TIME", the wall-clock time of the
# plug, and "replug $2 SECONDS NODE": the seconds from the plug to the port's
# node, and the node it came back as (while a program still holds the old
# one, the adapter gets another number).
pull_and_plug() {
    unplug
    await $port gone || return 1
    [ $driver = acm ] && device
    sleep $1
    if [ $driver = acm ]; then
        touch /tmp/plugged
        ls /sys/class/udc >$gadget/UDC
    else
        say replug && read -r reply
        touch /tmp/plugged
    fi
    plugged=$(cut -d' ' -f1 /proc/uptime)
    back=
    i=0
    while [ -z "$back" ] && [ $i -lt 400 ]; do
        for node in ${port%[0-9]}[0-9]*; do [ -e "$node" ] && back=$node; done
        [ -n "$back" ] || sleep 0.05
        i=$((i + 1))
    done
    now=$(cut -d' ' -f1 /proc/uptime)
    say "plugged $2 $(stat -c %y /tmp/plugged)"
    say "replug $2 $(awk "BEGIN { printf \"%.2f\", $now - $plugged }") ${back:-none}"
}

# Pulled and plugged back with nothing holding the port: the same port and
# identity in the list, and it answers by name and by USB identity again.
if [ $driver != uart_8250 ]; then
    tolvaner --list >/tmp/list-before 2>&1
    pull_and_plug 1 plain
    tolvaner --list >/tmp/list-after 2>&1
    show "out replug-list-before" /tmp/list-before
    show "out replug-list-after" /tmp/list-after
    identity=$(sed -n "s|^$back .* usb=\([0-9a-f]*:[0-9a-f]*\).*|\1|p" /tmp/list-after)
    known_as=$(sed -n "s|^$back .* serial=\"\([^\"]*\)\".*|\1|p" /tmp/list-after)
    for how in name usb serial; do
        case $how in
        name) name=$back ;;
        usb) name=usb:$identity ;;
        serial) [ -n "$known_as" ] || continue; name=usb:$identity:$known_as ;;
        esac
        timeout 30 tolvaner --read "$name" >/tmp/out 2>&1
        say "status replug-read-$how $?"
        show "out replug-read-$how" /tmp/out
    done
fi

# --watch while the adapter is pulled and plugged back, by name and (FTDI)
# by USB identity: the host says whether the program is to keep watching
# across a replug.
watch_rows=
if [ $driver != uart_8250 ]; then
    say ask watch-reconnect && read -r reply
    [ "$reply" = yes ] && watch_rows="name usb"
fi
for how in $watch_rows; do
    watched=$port
    if [ $how = usb ]; then
        [ $driver = ftdi ] || continue
        watched=usb:0403:6001
    fi
    rm -f /tmp/watch /tmp/watch-err
    tolvaner --watch 0.5 --count 20 --csv $watched >/tmp/watch 2>/tmp/watch-err &
    pid=$!
    i=0
    until [ "$(wc -l </tmp/watch)" -ge 3 ]; do # the header and two samples
        [ $i -lt 400 ] || { say "error no samples from --watch"; break; }
        sleep 0.05
        i=$((i + 1))
    done
    pull_and_plug 2 watch-$how
    (sleep 40 && kill -9 $pid) 2>/dev/null &
    watchdog=$!
    wait $pid
    say "status watch-$how $?"
    kill $watchdog 2>/dev/null
    show "out watch-$how" /tmp/watch
    show "out watch-$how-err" /tmp/watch-err
done

# The line stalls under a session: another process fills what the drivers
# hold on the way to a device that reads no more, and the next byte tolvaner
# writes is not taken. Last, as the line stays full. Not on the emulated FTDI
# adapter: when its host side stops reading, the whole machine stops with it.
if [ $driver != ftdi ]; then
    start_held_session
    stall
    echo fill | port-probe $port >/tmp/fill 2>&1
    show "probe fill" /tmp/fill
    echo "vmcheck: line full" >/dev/kmsg
    echo "r v" >&3
    (sleep 40 && kill -9 $held) 2>/dev/null 3>&- &
    watchdog=$!
    wait $held
    say "status stall $?"
    echo "vmcheck: tolvaner exited" >/dev/kmsg
    kill $watchdog 2>/dev/null
    exec 3>&-
    show "out stall" /tmp/out
    dmesg | grep -E 'vmcheck: (line full|tolvaner exited)' | tail -2 >/tmp/log
    show "log stall" /tmp/log
fi

[ -f /tmp/trace ] && show trace /tmp/trace
show steps /tmp/steps
finish

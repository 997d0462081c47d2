#!/usr/bin/env bash
# The manual pages format without a warning, fit an 80-column terminal, and
# name what the programs really print and accept: every prompt, command,
# result line and message the program shows in a session, its options, and
# every option, fault mode and default the simulator's --help names. A prompt or option
# changed in the code and not in the manual fails here.
# Usage: manual_test.sh MAN_DIR TOLVANER TOLVANER_SIM
set -euo pipefail
man_dir=$1 tolvaner=$2 sim=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvaner-man.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Plain text with one long line per paragraph, so that a phrase is found
# wherever the formatter would have broken or hyphenated it.
long_lines() {
    groff -man -Tascii -P-c -P-b -P-o -P-u -rLL=2000n "$1"
}

for page in tolvaner tolvaner-sim; do
    src=$man_dir/$page.1
    [[ -f $src ]] || {
        fail "$src is missing"
        continue
    }
    warnings=$(groff -man -Tutf8 -ww -z "$src" 2>&1)
    [[ -z $warnings ]] || fail "$page.1 formats with warnings: $warnings"
    wide=$(groff -man -Tascii -P-c -P-b -P-o -P-u "$src" | awk 'length > 80')
    [[ -z $wide ]] || fail "$page.1 has lines wider than 80 columns: $wide"
    long_lines "$src" >"$work/$page.txt"
    tr -s ' \t' '  ' <"$work/$page.txt" >"$work/$page.flat"
done

# Looks for `phrase` (blanks collapsed) in the flattened page.
expect_in() {
    local page=$1 phrase
    phrase=$(tr -s ' \t' '  ' <<<"$2")
    grep -qF -- "$phrase" "$work/$page.flat" || fail "$page.1 does not mention '$phrase'"
}

# What the program prints, taken from real sessions against the simulator.
# Every query must be answered in time to show its result line; on a machine
# too busy for that the session is tried again, a few times at most.
for attempt in 1 2 3; do
    session=$(timeout 60 "$sim" -- "$tolvaner" <<<'? i c r v r s r m r d r k r a v 1 s 9 m 1 a 1 r q b 0 x')
    grep -qF "Packet checksum fault" <<<"$session" || break
    echo "attempt $attempt: a reply was missed, trying again" >&2
done
faulty=$(timeout 30 "$sim" --fault truncate -- "$tolvaner" <<<'r v x')
all_output=$session$'\n'$faulty

mapfile -t prompts < <(grep -oE 'Enter [^:]*: ' <<<"$all_output" | sort -u)
((${#prompts[@]} == 7)) || fail "expected 7 distinct prompts in the session, found ${#prompts[@]}"
for prompt in "${prompts[@]}"; do
    expect_in tolvaner "${prompt% }"
done

# Each command of the help text, and the two it leaves out, has its entry.
mapfile -t commands < <(grep -oE '^ [A-Z] = ' <<<"$session" | cut -c2)
((${#commands[@]} == 10)) || fail "expected 10 commands in the help text, found ${#commands[@]}"
for command in "${commands[@]}" '?' b; do
    grep -qE "^ {7}[$command] {2,}" "$work/tolvaner.txt" ||
        fail "tolvaner.1 has no entry for the command $command"
done

# Result lines ("Pulse Value = ...") and messages, with the prompts taken out.
results=$(sed -E 's/Enter [^:]*: //g' <<<"$all_output")
mapfile -t labels < <(grep -oE '^[A-Za-z][A-Za-z ]* = ' <<<"$results" | sort -u)
((${#labels[@]} == 9)) || fail "expected 9 kinds of result line, found ${#labels[@]}"
for label in "${labels[@]}"; do
    expect_in tolvaner "${label% }"
done
for message in "invalid entry" "Packet checksum fault"; do
    grep -qF "$message" <<<"$all_output" || fail "the session never printed '$message'"
    expect_in tolvaner "$message"
done

# The usage lines and the messages of a port that cannot be used.
mapfile -t usage < <(timeout 10 "$tolvaner" || true)
((${#usage[@]} == 2)) || fail "expected two usage lines, found ${#usage[@]}"
for line in "${usage[@]}"; do
    expect_in tolvaner "$line"
done
touch "$work/plain-file"
for port in "$work/no-such-port" "$work/plain-file"; do
    message=$(timeout 10 "$tolvaner" "$port" </dev/null || true)
    [[ -n $message ]] || fail "tolvaner $port printed nothing"
    expect_in tolvaner "$message"
done
# The options: each one --help names has its entry, and so do the messages
# of a wrong command line, of a trace file that cannot be opened, and of a
# machine without serial ports.
help_text=$(timeout 10 "$tolvaner" --help)
mapfile -t our_options < <(grep -oE -- '(^| )-(h|-[a-z]+(-[a-z]+)*)' <<<"$help_text" | tr -d ' ' | sort -u)
((${#our_options[@]} >= 5)) || fail "expected at least 5 options in --help, found ${#our_options[@]}"
for option in "${our_options[@]}"; do
    grep -qE -- "^ {7}(-h, )?$option( |,|$)" "$work/tolvaner.txt" ||
        fail "tolvaner.1 has no entry for the option $option"
done
grep -qF "man tolvaner" <<<"$help_text" || fail "tolvaner --help does not say where the manual is"
for args in "--no-such-option" "--list extra" "--trace $work/no/such/folder/trace.log port"; do
    # shellcheck disable=SC2086 # the words of $args are the arguments
    message=$(timeout 10 "$tolvaner" $args </dev/null | head -1 || true)
    [[ -n $message ]] || fail "tolvaner $args printed nothing"
    expect_in tolvaner "${message% *}"
done
expect_in tolvaner "$(timeout 10 "$tolvaner" --version)"
grep -qaF "no serial ports found" "$tolvaner" || fail "the program no longer says 'no serial ports found'"
expect_in tolvaner "no serial ports found"
for status in 0 1; do
    sed -n '/^EXIT STATUS/,/^[A-Z]/p' "$work/tolvaner.txt" | grep -qE "^ {7}$status " ||
        fail "tolvaner.1 does not list exit status $status"
done

# The simulator: every option, fault mode and default its --help names.
help=$(timeout 10 "$sim" --help)
mapfile -t options < <(grep -oE '^ +--[a-z-]+' <<<"$help" | tr -d ' ')
((${#options[@]} >= 7)) || fail "expected at least 7 options in --help, found ${#options[@]}"
for option in "${options[@]}"; do
    grep -qwF -- "$option" "$work/tolvaner-sim.flat" ||
        fail "tolvaner-sim.1 does not mention the option $option"
done
modes_line=$(timeout 10 "$sim" --fault no-such-mode 2>&1 || true)
mapfile -t modes < <(sed -nE 's/.*\(one of ([^)]*)\).*/\1/p' <<<"$modes_line" | tr -d ' ' | tr ',' '\n')
((${#modes[@]} >= 2)) || fail "could not learn the fault modes from: $modes_line"
for mode in "${modes[@]}"; do
    grep -qE "^ {14}$mode( |$)" "$work/tolvaner-sim.txt" ||
        fail "tolvaner-sim.1 has no entry for the fault mode $mode"
done
while read -r default; do
    expect_in tolvaner-sim "$default"
done < <(grep -oE '\(default [^)]*\)' <<<"$help")

((failures == 0)) || exit 1
echo "PASS: ${#prompts[@]} prompts, ${#commands[@]} commands, ${#labels[@]} result lines," \
    "${#options[@]} simulator options, ${#modes[@]} fault modes"

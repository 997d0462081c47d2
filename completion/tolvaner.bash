# Bash completion for tolvaner: its options, the keys of --set and --expect,
# and the serial ports of this machine as `tolvaner --list` names them.
# shellcheck shell=bash

_tolvaner() {
    # Bash splits words at ':' and '=' too; the port names (usb:0403:6001)
    # and --opt=VALUE are read here split at blanks only.
    local line=${COMP_LINE:0:COMP_POINT}
    local -a words
    read -ra words <<<"$line"
    [[ -z $line || $line == *[[:blank:]] ]] && words+=("")
    local cur=${words[${#words[@]} - 1]} prev=""
    ((${#words[@]} > 1)) && prev=${words[${#words[@]} - 2]}
    if [[ $cur == --*=* ]]; then
        prev=${cur%%=*}
        cur=${cur#*=}
    fi

    local settable="pulse_value= full_scale= output_mode= average_interval= v= s= m= a="
    local keys="product_id= code_revision= $settable dac_value= kwh_value="
    local options="--list --trace --help -h --version --read --json --set --expect --watch --count --csv"
    local -a candidates=()
    local nospace=""
    # The option that the words since it belong to.
    local i option=""
    for ((i = ${#words[@]} - 2; i > 0; i--)); do
        if [[ ${words[i]} == -* ]]; then
            option=${words[i]%%=*}
            break
        fi
    done
    [[ ${words[${#words[@]} - 1]} == --*=* ]] && option=$prev
    if [[ $prev == --trace ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t candidates < <(compgen -f -- "$cur")
    elif [[ $prev == --watch || $prev == --count || $cur == *=* ]]; then
        : # a number or a value: nothing to offer
    elif [[ $cur == -* ]]; then
        mapfile -t candidates < <(compgen -W "$options" -- "$cur")
    else
        if [[ $option == --set ]]; then
            mapfile -t candidates < <(compgen -W "$settable" -- "$cur")
        elif [[ $option == --expect ]]; then
            mapfile -t candidates < <(compgen -W "$keys" -- "$cur")
        fi
        ((${#candidates[@]} > 0)) && nospace=1
        # Right after --set or --expect a key must come; later, the port may.
        if [[ $prev != --set && $prev != --expect ]]; then
            local ports
            ports=$("${words[0]/#\~/$HOME}" --list 2>/dev/null |
                awk '$0 != "no serial ports found" { print $1 }')
            mapfile -t -O "${#candidates[@]}" candidates < <(compgen -W "$ports" -- "$cur")
        fi
    fi
    [[ -n $nospace ]] && compopt -o nospace 2>/dev/null

    # Each candidate replaces only what bash takes as the current word: the
    # part after its last ':' or '='.
    local word=${words[${#words[@]} - 1]} typed=${COMP_WORDS[COMP_CWORD]}
    [[ $typed == [:=] ]] && typed=""
    local before=${word%"$typed"} candidate
    COMPREPLY=()
    for candidate in "${candidates[@]}"; do
        [[ $word == --*=* ]] && candidate=$prev=$candidate
        COMPREPLY+=("${candidate#"$before"}")
    done
}
complete -F _tolvaner tolvaner

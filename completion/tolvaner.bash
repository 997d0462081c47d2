# Bash completion for tolvaner: the options that may come where the cursor
# is, the keys of --set and --expect, and the serial ports of this machine as
# `tolvaner --list` names them, less the one it marks as the console. Where
# no listed port fits, file names: a symbolic link, /dev/serial/by-id/..., a
# simulator's --link.
# shellcheck shell=bash

_tolvaner() {
    # Bash splits words at ':' and '=' too; the port names (usb:0403:6001)
    # and --opt=VALUE are read here split at blanks only.
    local line=${COMP_LINE:0:COMP_POINT}
    local -a words
    read -ra words <<<"$line"
    [[ -z $line || $line == *[[:blank:]] ]] && words+=("")
    local n=${#words[@]}
    local cur=${words[n - 1]} prev="" want=""
    if [[ $cur == --*=* ]]; then
        prev=${cur%%=*}
        cur=${cur#*=}
        want=$prev
    fi

    # What the words before this one have given: the mode, the options of
    # the modes, and whether the port or an option that goes alone has come,
    # after which nothing may follow.
    local i word mode="" given=" " group="" need_key="" done="" ended="" leading=1
    for ((i = 1; i < n - 1; i++)); do
        word=${words[i]}
        if [[ -n $ended ]]; then
            done=1
            break
        fi
        case ${word%%=*} in
        --) ended=1 ;;
        --list | --help | -h | --version) done=1 ;;
        --serve | --mqtt | --mqtt-ca | --mqtt-password-file)
            mode="serve" leading=""
            given+="${word%%=*} "
            group=""
            if [[ $word != *=* ]]; then
                ((i + 1 == n - 1)) && want=$word
                ((i++))
            fi
            ;;
        --mqtt-discovery)
            mode="serve" leading=""
            given+="${word%%=*} "
            ;;
        --no-reconnect)
            given+="$word "
            leading=""
            ;;
        --trace | --watch | --count)
            [[ $word == --watch* && $mode != serve ]] && mode="watch"
            [[ $word == --trace* ]] || leading=""
            given+="${word%%=*} "
            group=""
            if [[ $word != *=* ]]; then
                ((i + 1 == n - 1)) && want=$word
                ((i++))
            fi
            ;;
        --set | --expect)
            [[ $word == --set* ]] && mode="set"
            given+="${word%%=*} "
            group=${word%%=*} need_key=1 leading=""
            [[ $word == *=* ]] && need_key=""
            ;;
        --read | --json | --csv)
            [[ $word == --read ]] && mode="read"
            given+="$word "
            group="" leading=""
            ;;
        *)
            if [[ -n $group && $word == *=* ]]; then
                need_key=""
            elif [[ $mode != serve ]]; then
                done=1 # one port; --serve and --mqtt take several
            fi
            ;;
        esac
    done

    local settable="pulse_value= full_scale= output_mode= average_interval= v= s= m= a="
    local keys="product_id= code_revision= $settable dac_value= kwh_value="
    local -a candidates=()
    local nospace="" option may=""
    if [[ -n $done || $want == --watch || $want == --count || $want == --serve ||
        $want == --mqtt ]]; then
        : # nothing may follow, a number, an address or a broker
    elif [[ $want == --trace || $want == --mqtt-ca || $want == --mqtt-password-file ]]; then
        compopt -o filenames 2>/dev/null
        mapfile -t candidates < <(compgen -f -- "$cur")
    elif [[ -z $ended && $cur == -* ]]; then
        for option in --list --trace --help -h --version --read --json --set --expect --watch \
            --count --csv --no-reconnect --serve --mqtt --mqtt-ca --mqtt-discovery \
            --mqtt-password-file; do
            case $option in
            --read) [[ -z $mode ]] ;;
            --watch) [[ (-z $mode || $mode == serve) && $given != *" --watch "* ]] ;;
            --no-reconnect) [[ $mode == watch && $given != *" $option "* ]] ;;
            --serve | --mqtt) [[ n -eq 2 || ($mode == serve && $given != *" $option "*) ]] ;;
            --mqtt-*) [[ $mode == serve && $given != *" $option "* ]] ;;
            --set | --expect) [[ -z $mode || $mode == set ]] ;;
            --json) [[ $mode != serve && $given != *" --json "* && $given != *" --csv "* ]] ;;
            --count) [[ (-z $mode || $mode == watch) && $given != *" --count "* ]] ;;
            --csv) [[ (-z $mode || $mode == watch) && $given != *" --json "* &&
                $given != *" --csv "* ]] ;;
            *) ((n == 2)) ;;
            esac && [[ -z $need_key ]] && may+=" $option"
        done
        mapfile -t candidates < <(compgen -W "$may" -- "$cur")
    else
        if [[ -n $group || $want == --set || $want == --expect ]]; then
            [[ $group == --set || $want == --set ]] && may=$settable || may=$keys
            mapfile -t candidates < <(compgen -W "$may" -- "$cur")
            ((${#candidates[@]} > 0)) && nospace=1
        fi
        # The port: first, after --trace FILE, after --, or once a mode is
        # chosen and has what it needs.
        if [[ -z $want && (-n $leading || -n $ended || (-n $mode && -z $need_key)) ]]; then
            local listed ports consoles file count=${#candidates[@]}
            listed=$("${words[0]/#\~/$HOME}" --list 2>/dev/null)
            ports=$(awk '$0 != "no serial ports found" && $NF != "console" { print $1 }' \
                <<<"$listed")
            consoles=$'\n'$(awk '$NF == "console" { print $1 }' <<<"$listed")$'\n'
            mapfile -t -O "$count" candidates < <(compgen -W "$ports" -- "$cur")
            if ((${#candidates[@]} == 0)); then
                compopt -o filenames 2>/dev/null
                while IFS= read -r file; do
                    [[ $consoles == *$'\n'$file$'\n'* ]] || candidates+=("$file")
                done < <(compgen -f -- "$cur")
            fi
        fi
    fi
    [[ -n $nospace ]] && compopt -o nospace 2>/dev/null

    # Each candidate replaces only what bash takes as the current word: the
    # part after its last ':' or '='.
    local last=${words[n - 1]} typed=${COMP_WORDS[COMP_CWORD]}
    [[ $typed == [:=] ]] && typed=""
    local before=${last%"$typed"} candidate
    COMPREPLY=()
    for candidate in "${candidates[@]}"; do
        [[ $last == --*=* ]] && candidate=$prev=$candidate
        COMPREPLY+=("${candidate#"$before"}")
    done
}
complete -F _tolvaner tolvaner

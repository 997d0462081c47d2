# shellcheck shell=bash
# check_links DIR: every relative link in the Markdown files installed in DIR
# leads to a file installed there, wherever the README points into docs/.
# Sourced by the package tests, which define fail.
check_links() {
    local doc target
    while IFS= read -r doc; do
        while IFS= read -r target; do
            target=${target%%#*}
            [[ -z $target || $target == *://* || $target == mailto:* ]] && continue
            [[ -f $(dirname "$doc")/$target ]] ||
                fail "${doc#"$1"/} links to $target, which is not installed"
        done < <(grep -oE '\]\([^)[:space:]]+\)' "$doc" | sed -E 's/^\]\((.*)\)$/\1/')
    done < <(find "$1" -name '*.md')
}

# bash completion for rtkctl: subcommands, options and paths.
#
# The subcommands and what they take are read from "rtkctl --help", so this
# file follows the tool it completes: the options of a subcommand are the
# --words of its usage, a usage naming DIR or PKGDIR completes directories,
# one naming PATH, FILE, SRC or DST completes files, and after --json only
# the subcommands with a JSON form are offered.

# Prints the "Commands:" lines of the help text as "NAME USAGE...".
_rtkctl_commands()
{
    awk '/^Commands:/ { on = 1; next } on && /^  [a-z]/ { print }' <<<"$1"
}

_rtkctl()
{
    local cur=${COMP_WORDS[COMP_CWORD]} help command="" json="" usage i
    help=$("${COMP_WORDS[0]}" --help 2>/dev/null) || return 0
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            --json) json=1 ;;
            -*) ;;
            *) command=${COMP_WORDS[i]}; break ;;
        esac
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "--json --help" -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "$(_rtkctl_commands "$help" |
                awk -v json="$json" 'json == "" || /\[--json\]/ { print $1 }')" -- "$cur")
        fi
        return 0
    fi

    usage=$(_rtkctl_commands "$help" | awk -v c="$command" '$1 == c { $1 = ""; print }')
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(grep -oE -- '--[a-z][a-z-]*' <<<"$usage")" -- "$cur")
    elif [[ $command == driver ]]; then
        ((i + 1 == COMP_CWORD)) && mapfile -t COMPREPLY < <(compgen -W "start stop status" -- "$cur")
    elif [[ " $usage " =~ [^A-Z](DIR|PKGDIR)[^A-Z] ]]; then
        compopt -o filenames
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    elif [[ " $usage " =~ [^A-Z](PATH|FILE|SRC|DST)[^A-Z] ]]; then
        compopt -o filenames
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
    return 0
}

complete -F _rtkctl rtkctl

# Bash completion for `service`: the options and command words, the registered
# service names for `check` and `call` (asked from `service list`), and the
# argument kinds of a call with the keys of an intent.

# Bash splits words at '=' (COMP_WORDBREAKS), so "action=go" reaches us as
# "action", "=", "go". Rejoin every word that touches the one before it in
# COMP_LINE, so that each command-line argument is one word again. Sets
# _service_words and _service_cword.
_service_join_words()
{
    _service_words=()
    _service_cword=0
    if [[ -z ${COMP_LINE-} ]]; then
        _service_words=("${COMP_WORDS[@]}")
        _service_cword=$COMP_CWORD
        return
    fi
    local line=$COMP_LINE pos=0 i word joined=-1
    for ((i = 0; i < ${#COMP_WORDS[@]}; i++)); do
        word=${COMP_WORDS[i]}
        local start=$pos
        while [[ $start -lt ${#line} && ${line:start:1} == [[:space:]] ]]; do
            ((start++))
        done
        if ((i > 0 && start == pos)) && [[ -n $word ]]; then
            _service_words[joined]+=$word
        else
            ((joined++))
            _service_words[joined]=$word
        fi
        ((i == COMP_CWORD)) && _service_cword=$joined
        pos=$((start + ${#word}))
    done
}

# The names of the registered services, one a line, from the listing
# "INDEX<tab>NAME: [DESCRIPTOR]".
_service_names()
{
    local tool=$1 line runner=()
    # A stuck service manager must not hang the shell.
    type -P timeout >/dev/null && runner=(timeout 3)
    "${runner[@]}" "$tool" list 2>/dev/null </dev/null | while IFS= read -r line; do
        [[ $line == [0-9]*$'\t'*': ['*']' ]] || continue
        line=${line#*$'\t'}
        printf '%s\n' "${line%%: \[*}"
    done
}

# Fills COMPREPLY with the words of the newline-separated list $1 that start with
# $2. mapfile, unlike an array assignment, never expands "-?" into file names.
_service_reply()
{
    local IFS=$'\n'
    mapfile -t COMPREPLY < <(compgen -W "$1" -- "$2")
}

_service()
{
    local tool=${1:-service}
    _service_join_words
    local cur=${_service_words[_service_cword]}
    COMPREPLY=()

    # Options stop at the first word that is not one; "--" ends them too.
    local i command_at=0
    for ((i = 1; i < _service_cword; i++)); do
        case ${_service_words[i]} in
        --) command_at=$((i + 1)); break ;;
        -?*) ;;
        *) command_at=$i; break ;;
        esac
    done
    if ((command_at == 0 || command_at >= _service_cword)); then
        if [[ $cur == -* ]]; then
            _service_reply $'-h\n-?' "$cur"
        else
            _service_reply $'list\ncheck\ncall' "$cur"
        fi
        return
    fi

    local command=${_service_words[command_at]}
    local position=$((_service_cword - command_at))
    case $command in
    check)
        if ((position == 1)); then
            _service_reply "$(_service_names "$tool")" "$cur"
        fi
        ;;
    call)
        if ((position == 1)); then
            _service_reply "$(_service_names "$tool")" "$cur"
            return
        fi
        # position 2 is the transaction code: nothing to offer.
        ((position >= 3)) || return
        # Walk the arguments before the current one as the tool will read them.
        local state=kind word
        for ((i = command_at + 3; i < _service_cword; i++)); do
            word=${_service_words[i]}
            case $state in
            value) state=kind ;;
            intent) [[ $word =~ [^=] ]] || state=kind ;;
            kind)
                case $word in
                i32 | s16) state=value ;;
                intent) state=intent ;;
                esac
                ;;
            esac
        done
        case $state in
        kind)
            _service_reply $'i32\ns16\nnull\nintent' "$cur"
            ;;
        intent)
            # Keys only: a value after '=' is the user's.
            if [[ $cur != *=* ]]; then
                _service_reply $'action=\ndata=\ntype=\nlaunchFlags=\ncomponent=\ncategories=' "$cur"
                compopt -o nospace 2>/dev/null
            fi
            ;;
        esac
        ;;
    esac
}

complete -F _service service

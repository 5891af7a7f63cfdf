#!/usr/bin/env bash
# Drives the bash completion of `service` the way bash does: sets COMP_WORDS,
# COMP_CWORD, COMP_LINE and COMP_POINT, calls the completion function and compares
# COMPREPLY. A stand-in `service` on PATH prints a fixed listing.
# Usage: completion_test.sh PATH/TO/service.bash
set -u
script=$(realpath -e "${1:?usage: completion_test.sh COMPLETION_SCRIPT}") || exit 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/cwd"
cat >"$work/bin/service" <<'FAKE'
#!/usr/bin/env bash
[[ ${1-} == list ]] || exit 10
[[ -e ${FAKE_SERVICE_HANG-/nonexistent} ]] && exec sleep 30
[[ -e ${FAKE_SERVICE_FAIL-/nonexistent} ]] && { echo "service: Unable to get default service manager!" >&2; exit 20; }
printf 'Found 4 services:\n'
printf '0\texample.echo: [quorvel.example.IEcho]\n'
printf '1\texample.nodescriptor: []\n'
printf '2\texample.unicode: [quorvel.example.Caf??]\n'
printf '3\tother: [odd: [descriptor]]\n'
FAKE
chmod +x "$work/bin/service"
PATH=$work/bin:$PATH
# Files whose names a stray glob of "-?" would pick up.
cd "$work/cwd" && touch -- -a -b

# shellcheck source=/dev/null
source "$script" || { echo "cannot source $script"; exit 1; }

passed=0
failed=0
check() {
    local name=$1 expected=$2 actual=$3
    if [[ $actual == "$expected" ]]; then
        ((passed++))
    else
        ((failed++))
        printf 'FAIL %s\n  expected: [%s]\n  actual:   [%s]\n' "$name" "$expected" "$actual"
    fi
}

# complete_line NAME EXPECTED LINE: the cursor is at the end of LINE; the words
# are split at blanks and at '=' as bash does with its default COMP_WORDBREAKS.
complete_line() {
    local name=$1 expected=$2 line=$3
    local rest=$line words=() word=""
    while [[ -n $rest ]]; do
        local c=${rest:0:1}
        rest=${rest:1}
        if [[ $c == " " ]]; then
            [[ -n $word ]] && words+=("$word")
            word=""
        elif [[ $c == "=" ]]; then
            [[ -n $word && $word != *=* ]] && { words+=("$word"); word=""; }
            word+="="
        else
            [[ $word == =* ]] && { words+=("$word"); word=""; }
            word+=$c
        fi
    done
    words+=("$word")
    COMP_WORDS=("${words[@]}")
    COMP_CWORD=$((${#words[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    _service service
    check "$name" "$expected" "${COMPREPLY[*]}"
}

# Registration.
check "registered for service" "complete -F _service service" "$(complete -p service)"

# Options and command words.
complete_line "command words" "list check call" "service "
complete_line "command word prefix" "check call" "service c"
complete_line "options without globbing" "-h -?" "service -"
complete_line "options are skipped" "check call" "service -h c"
complete_line "double dash ends options" "list" "service -- l"
complete_line "unknown command completes nothing" "" "service frob "

# Service names come from the listing.
complete_line "check offers names" "example.echo example.nodescriptor example.unicode other" "service check "
complete_line "check name prefix" "example.echo example.nodescriptor example.unicode" "service check ex"
complete_line "name with bracket in descriptor" "other" "service check o"
complete_line "check takes one name" "" "service check example.echo "
complete_line "call offers names" "example.nodescriptor" "service call example.n"
complete_line "code is free text" "" "service call example.echo "
complete_line "list takes nothing" "" "service list "

# Argument kinds after CODE.
complete_line "kinds after code" "i32 s16 null intent" "service call example.echo 1 "
complete_line "kind prefix" "i32 intent" "service call example.echo 1 i"
complete_line "value of i32 is free" "" "service call example.echo 1 i32 "
complete_line "value of s16 is free" "" "service call example.echo 1 s16 "
complete_line "negative value is a value" "s16" "service call example.echo 1 i32 -5 s"
complete_line "null takes no operand" "null" "service call example.echo 1 null n"
complete_line "value with = stays one argument" "i32 s16 null intent" "service call example.echo 1 s16 x=i32 "

# Intent keys.
complete_line "intent keys" "action= data= type= launchFlags= component= categories=" "service call example.echo 1 intent "
complete_line "intent key prefix" "action=" "service call example.echo 1 intent a"
complete_line "key after a field" "launchFlags=" "service call example.echo 1 intent action=go l"
complete_line "intent value is free" "" "service call example.echo 1 intent action="
complete_line "intent value prefix is free" "" "service call example.echo 1 intent action=g"
complete_line "words after intent are fields" "component= categories=" "service call example.echo 1 intent i32 c"

# Without a reachable service manager there is nothing to offer, and no noise.
touch "$work/fail"
err=$(FAKE_SERVICE_FAIL=$work/fail complete_line "no service manager" "" "service check " 2>&1)
check "no service manager prints nothing" "" "$err"
FAKE_SERVICE_FAIL=$work/fail complete_line "no service manager" "" "service check "

# A service manager that never answers costs a few seconds, not the shell.
touch "$work/hang"
started=$SECONDS
FAKE_SERVICE_HANG=$work/hang complete_line "hanging service manager" "" "service call "
check "hanging service manager is given up on" "yes" "$( ((SECONDS - started < 10)) && echo yes || echo no)"

printf '%d passed, %d failed\n' "$passed" "$failed"
((failed == 0))

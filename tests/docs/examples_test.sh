#!/usr/bin/env bash
# Runs the commands the documents show and compares what they print with the text:
# README.md and docs/*.md (fenced blocks) and man/*.1 (.EX blocks). Every command
# block carries a marker, and one that does not run here says why:
#
#   <!-- doc-test: run[, OPTION]... -->        .\" doc-test: run[, OPTION]...
#   <!-- doc-test: skip, REASON -->            .\" doc-test: skip, REASON
#
# OPTIONs: `in ledsim for BOARD` (the block runs inside ledsim with BOARD's profile
# from the build's board list), `with the example services` (a service manager and
# the example services answer at $QUORVEL_SERVICE_MANAGER), `output not compared:
# REASON`.
#
# A `sh` block runs as one bash script (-e -u -o pipefail) and must exit 0. A
# transcript runs its "$ " and "# " commands in one bash shell; where the text shows
# output after a command, its standard output must be that text (a line "..." stands
# for any lines), and where it shows none, the command must exit 0.
#
# Besides, the table of boards in docs/lights.md must match the build's board list,
# and every command that runs a board's module in ledsim must give the board's profile.
#
# Each block runs in a folder of its own that is also $HOME, with `build/default`
# there pointing at the build, the build's programs first on PATH,
# QUORVEL_MODULE_DIR at the build's modules and QUORVEL_SERVICE_MANAGER at
# $HOME/sm. Blocks that use ledsim need root; without it they are skipped, and the
# test exits 77 (skipped) if nothing else failed.
#
# Usage: examples_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail

source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
BLOCK_TIMEOUT=180 # seconds; a block that hangs is ended and fails
READY_TRIES=300   # 0.1 s apart: the example services' registration

tmp=$(mktemp -d)
started=()
cleanup() {
  local pid
  for pid in "${started[@]}"; do
    kill "$pid" 2>/dev/null
  done
  rm -rf "$tmp"
}
trap cleanup EXIT

failures=0 skipped=0 ran=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

programs=("$build_dir/service" "$build_dir/platform/servicemanager" "$build_dir/tools/example_services"
          "$build_dir/tools/ledsim" "$build_dir/tools/lightsctl")
for folder in "${programs[@]}"; do
  [[ -d $folder ]] || { echo "FAIL: $folder is missing (build first)" >&2; exit 1; }
done
program_path=$(IFS=:; echo "${programs[*]}")
board_profiles=$build_dir/generated/board_profiles.txt
[[ -r $board_profiles ]] || { echo "FAIL: $board_profiles is missing (configure first)" >&2; exit 1; }

# As root, `sudo` in a document is the identity; a machine without sudo gets a
# stand-in that runs the command (options like -E are dropped).
mkdir -p "$tmp/bin"
if ! command -v sudo >/dev/null && [[ $(id -u) == 0 ]]; then
  printf '#!/bin/sh\nwhile [ "${1#-}" != "$1" ]; do shift; done\nexec "$@"\n' >"$tmp/bin/sudo"
  chmod +x "$tmp/bin/sudo"
fi

profile_of() { awk -v board="$1" '$1 == board { print $2 }' "$board_profiles"; }

# Starts a service manager and the example services at $QUORVEL_SERVICE_MANAGER and
# waits (bounded) until the last of them is registered.
start_example_services() {
  "$build_dir/platform/servicemanager/servicemanager" 2>>"$1/services.err" &
  started+=($!)
  "$build_dir/tools/example_services/example-services" >/dev/null 2>>"$1/services.err" &
  started+=($!)
  local try
  for ((try = 0; try < READY_TRIES; try++)); do
    [[ $("$build_dir/service/service" check example.failing 2>/dev/null) == "Service example.failing: found" ]] &&
      return 0
    sleep 0.1
  done
  return 1
}

stop_example_services() {
  local pid
  for pid in "${started[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  started=()
}

# Writes the transcript's commands as a script that leaves each command's output,
# error output and status in DIR/N.out, N.err, N.status, and each expected output
# in DIR/N.expected. Prints the number of commands.
split_transcript() {
  local body=$1 dir=$2 n=0 line in_command=0
  : >"$dir/script"
  while IFS= read -r line; do
    if ((in_command)); then
      printf '%s\n' "$line" >>"$dir/script"
    elif [[ $line == '$ '* || $line == '# '* ]]; then
      n=$((n + 1))
      : >"$dir/$n.expected"
      printf '{ %s\n' "${line:2}" >>"$dir/script"
      in_command=1
    else
      ((n > 0)) && printf '%s\n' "$line" >>"$dir/$n.expected"
      continue
    fi
    if [[ $line == *\\ ]]; then
      in_command=1
    else
      in_command=0
      printf '} >%q 2>%q </dev/null; echo $? >%q\n' "$dir/$n.out" "$dir/$n.err" "$dir/$n.status" >>"$dir/script"
    fi
  done <"$body"
  echo "$n"
}

# Does ACTUAL match EXPECTED, where a line "..." in EXPECTED stands for any lines?
output_matches() {
  local expected=$1 actual=$2
  if ! grep -qx '\.\.\.' "$expected"; then
    cmp -s "$expected" "$actual"
    return
  fi
  local head tail
  head=$(sed '/^\.\.\.$/,$d' "$expected")
  tail=$(sed '1,/^\.\.\.$/d' "$expected")
  local head_lines tail_lines
  head_lines=$(printf '%s' "$head" | grep -c '')
  tail_lines=$(printf '%s' "$tail" | grep -c '')
  (($(grep -c '' "$actual") >= head_lines + tail_lines)) &&
    [[ $(head -n "$head_lines" "$actual") == "$head" ]] &&
    { ((tail_lines == 0)) || [[ $(tail -n "$tail_lines" "$actual") == "$tail" ]]; }
}

# Runs COMMAND... bounded, in a process group of its own that is ended afterwards,
# so that nothing a block left in the background outlives it.
run_block_command() {
  timeout -k 5 "$BLOCK_TIMEOUT" "$@" &
  local pid=$! status=0
  wait "$pid" || status=$?
  kill -KILL -- "-$pid" 2>/dev/null
  return "$status"
}

run_block() {
  local id=$1 kind=$2 where=$3 marker=$4
  local body=$tmp/blocks/$id.body
  local what reason="" board="" services=0 compare=1 word
  what=${marker%%,*}
  case $what in
    run) ;;
    skip)
      reason=${marker#skip}
      reason=${reason#,}
      [[ -n ${reason// /} ]] || fail "$where: a block marked skip says why"
      return ;;
    "") fail "$where: a command block without a doc-test marker (run, or skip with the reason)"; return ;;
    *) fail "$where: unknown doc-test marker \"$marker\""; return ;;
  esac
  local options=${marker#run}
  while [[ -n $options ]]; do
    options=${options#,}
    options=${options# }
    word=${options%%,*}
    case $word in
      "in ledsim for "*) board=${word#in ledsim for } ;;
      "with the example services") services=1 ;;
      "output not compared: "?*) compare=0; options="" ; continue ;;
      *) fail "$where: unknown doc-test option \"$word\""; return ;;
    esac
    [[ $options == *,* ]] && options=${options#*,} || options=""
  done

  if [[ -n $board || $(grep -c ledsim "$body") != 0 ]] && [[ $(id -u) != 0 ]]; then
    echo "SKIP: $where: needs root (ledsim)" >&2
    skipped=$((skipped + 1))
    return
  fi
  local profile=""
  if [[ -n $board ]]; then
    profile=$(profile_of "$board")
    [[ -n $profile ]] || { fail "$where: no board \"$board\" in the board list"; return; }
  fi

  local work=$tmp/work.$id
  mkdir -p "$work/build" "$work/.run"
  ln -s "$build_dir" "$work/build/default"
  export HOME=$work
  export PATH=$tmp/bin:$program_path:$base_path
  export QUORVEL_MODULE_DIR=$build_dir/lib/quorvel/hw
  export QUORVEL_SERVICE_MANAGER=$work/sm
  if ((services)) && ! start_example_services "$work"; then
    fail "$where: the example services did not register: $(cat "$work/services.err")"
    stop_example_services
    return
  fi
  local wrap=()
  [[ -n $profile ]] && wrap=("$build_dir/tools/ledsim/ledsim" --profile "$profile" --journal /dev/null --)
  ran=$((ran + 1))

  if [[ $kind == script ]]; then
    local status=0
    (cd "$work" && run_block_command "${wrap[@]}" bash -euo pipefail "$body") >"$work/.run/out" 2>&1 ||
      status=$?
    ((status == 0)) || fail "$where: the block exited with status $status:"$'\n'"$(cat "$work/.run/out")"
  else
    local commands n status
    commands=$(split_transcript "$body" "$work/.run")
    (cd "$work" && run_block_command "${wrap[@]}" bash "$work/.run/script") >"$work/.run/out" 2>&1 ||
      fail "$where: the transcript's shell failed:"$'\n'"$(cat "$work/.run/out")"
    for ((n = 1; n <= commands; n++)); do
      local command
      command=$(sed -n "$n{s/^[\$#] //p}" <(grep -E '^[$#] ' "$body"))
      if [[ ! -e $work/.run/$n.status ]]; then
        fail "$where: \"$command\" did not run"
        continue
      fi
      status=$(<"$work/.run/$n.status")
      if [[ ! -s $work/.run/$n.expected ]] || ((!compare)); then
        ((status == 0)) ||
          fail "$where: \"$command\" exited with status $status:"$'\n'"$(cat "$work/.run/$n.out" "$work/.run/$n.err")"
      elif ! output_matches "$work/.run/$n.expected" "$work/.run/$n.out"; then
        fail "$where: \"$command\" (status $status) printed other than the text shows:"$'\n'"$(
          diff -u --label shown --label printed "$work/.run/$n.expected" "$work/.run/$n.out")"$'\n'"$(
          sed 's/^/stderr: /' "$work/.run/$n.err")"
      fi
    done
  fi
  stop_example_services
}

base_path=$PATH
cd "$source_dir" || exit 1
mkdir "$tmp/blocks"
: >"$tmp/blocks/index"
for document in README.md docs/*.md man/*.1; do
  roff=0
  [[ $document == *.1 ]] && roff=1
  awk -v out="$tmp/blocks" -v roff=$roff -v first="$(grep -c '' "$tmp/blocks/index")" \
    -f "$here/extract_blocks.awk" "$document" || fail "$document: cannot be read"
done
# The table of boards in docs/lights.md (after its marker) names every board of the
# build's list with its profile, and nothing else.
table=$(awk '/^<!-- doc-test: board profiles -->/ { found = 1; next }
             found && /^\|/ { rows = 1; print; next }
             found && rows { exit }' docs/lights.md |
        sed -n 's/^| *`\([^`]*\)` *| *`\([^`]*\)` *|.*/\1 \2/p' | sort)
if [[ -z $table ]]; then
  fail "docs/lights.md: no table of boards after <!-- doc-test: board profiles -->"
elif [[ $table != "$(sort "$board_profiles")" ]]; then
  fail "docs/lights.md: the table of boards differs from the build's list:"$'\n'"$(
    diff -u --label documented --label 'board list' <(echo "$table") <(sort "$board_profiles"))"
fi

# A command that runs a board's module inside ledsim gives ledsim that board's
# profile (no --profile is rgb).
while IFS=$'\t' read -r id kind where marker; do
  while IFS= read -r command; do
    [[ $command =~ lightsctl\ +([a-z0-9_-]+) ]] || continue
    board=${BASH_REMATCH[1]}
    wanted=$(profile_of "$board")
    [[ -n $wanted ]] || continue
    profile=rgb
    [[ $command =~ (--profile|-p)\ +([^ ]+) ]] && profile=${BASH_REMATCH[2]}
    [[ $profile == "$wanted" ]] ||
      fail "$where: ledsim runs $board's module with the profile $profile; the board list gives $board $wanted"
  done < <(sed -e ':a' -e '/\\$/{N; s/\\\n//; ba' -e '}' "$tmp/blocks/$id.body" | grep -E 'ledsim .*lightsctl')
done <"$tmp/blocks/index"

while IFS=$'\t' read -r id kind where marker; do
  echo "== $where: ${marker:-(no marker)}" >&2
  run_block "$id" "$kind" "$where" "$marker"
done < <(cat "$tmp/blocks/index")

echo "$ran blocks ran, $skipped skipped, $failures failures" >&2
((failures == 0)) || exit 1
((skipped == 0)) || exit 77
exit 0

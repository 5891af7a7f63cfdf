# shellcheck shell=sh
# End-to-end scenarios of the target system, shared by both sides of the target
# test. Sourced by a POSIX shell: bash on the build machine, busybox sh in the guest.
#
# Every scenario runs twice. On the build machine (SCENARIO_MODE=record) it runs
# against the host build, the lights ones inside ledsim, and its outcome is kept in
# $SCENARIO_DIR/NAME/. In the guest (SCENARIO_MODE=check) the same commands run
# against the armhf image, the lights ones on the real LED class driver, and the
# outcome must match what was recorded byte for byte; each prints "NAME: PASS" or
# "NAME: FAIL" with the difference.
#
# The caller provides these commands (paths or names on PATH):
#   SERVICE          the service tool
#   LIGHTSCTL        lightsctl
#   LEDSIM           ledsim (record mode only)
# these variables, each a list of words separated by white space:
#   LIGHTS_BOARDS    the boards whose modules the lights scenarios drive (the build's
#                    generated boards.txt)
#   LIGHTS_PROFILES  the board profiles ledsim and the driver both offer: every
#                    combination (the build's generated ledsim_profiles.txt)
#   LIGHTS_FAULT_KINDS  the fault kinds the driver offers (the build's generated
#                    ledsim_driver_faults.txt)
# and these functions:
#   lights_board PROFILE [FAULTS]   makes /sys/class/leds the board PROFILE, with the
#                          driver's faults FILE=KIND,... (check mode only)
#   scenario_result NAME STATUS [DETAILS_FILE]   reports one outcome (check mode only)

# Requests that reach every attribute a module writes, steady and flashing.
LIGHTS_EVERYDAY="backlight 0x00808080 keyboard 0xff00ff00 buttons 0x000000ff
notifications 0xff00ff00 flash 500 1500 battery 0xffff0000 flash 1000 3000
backlight 0xffe0e0e0 auto"

# Values where the kernel and a naive file differ: a trackball mode above the
# maximum brightness (clamped to 255) and a negative one (refused, the old value
# stays), each carried to the trackball light by the backlight request after it.
# Only final values are compared, so the refused write comes last.
LIGHTS_EDGES="notifications 0xff0000ff flash 2000000000 2000000000
attention 0xffffffff trackball 300 backlight 0x00808080
attention 0xffffffff trackball -5 backlight 0x00404040"

# The fault matrix's requests (tests/robustness/lights): every light once, in an
# order that makes every attribute file of the board be written.
LIGHTS_FAULT_REQUESTS="backlight 0x808080 auto keyboard 0x1 buttons 0x1 notifications 0x00ff00 flash 500 500
battery 0xff0000 attention 0xff trackball 7 battery 0x0 backlight 0x0"

# The files for each of the driver's fault kinds come in two groups: the file each
# handler writes first, and every other one, so that every handler meets every
# kind, and one broken file never hides what another does.
LIGHTS_FAULTED_FIRST_RGB="lcd-backlight/brightness keyboard-backlight/brightness
button-backlight/brightness red/brightness jogball-backlight/blink"
LIGHTS_FAULTED_REST_RGB="lcd-backlight/auto green/brightness blue/brightness red/device/blink
red/device/grpfreq red/device/grppwm jogball-backlight/brightness"
LIGHTS_FAULTED_FIRST_AMBER="lcd-backlight/brightness keyboard-backlight/brightness
button-backlight/brightness amber/brightness jogball-backlight/blink"
LIGHTS_FAULTED_REST_AMBER="lcd-backlight/auto green/brightness amber/blink jogball-backlight/brightness"

# The journal of the driver's stores, in ledsim's words (check mode).
LIGHTS_JOURNAL=/sys/kernel/debug/quorvel-leds/journal

# Runs a command with its standard output, standard error and exit status kept in
# folder $1.
scenario_capture() {
  _folder=$1
  shift
  mkdir -p "$_folder"
  "$@" >"$_folder/stdout" 2>"$_folder/stderr"
  echo $? >"$_folder/status"
}

# Compares folder $2 (this run) with folder $1 (recorded) and reports scenario $3.
scenario_compare() {
  if diff -u "$1" "$2" >"$2.diff" 2>&1; then
    scenario_result "$3" PASS
  else
    scenario_result "$3" FAIL "$2.diff"
  fi
}

# scenario NAME COMMAND...: a command of the object system, compared whole.
scenario() {
  _name=$1
  shift
  case $SCENARIO_MODE in
  record) scenario_capture "$SCENARIO_DIR/$_name" "$@" ;;
  check)
    scenario_capture "$SCENARIO_RUN_DIR/$_name" "$@"
    scenario_compare "$SCENARIO_DIR/$_name" "$SCENARIO_RUN_DIR/$_name" "$_name"
    ;;
  esac
}

# Prints "value PATH "TEXT"" for each LED class attribute file named in file $1,
# the way ledsim's journal shows final values. The driver's values are one line of
# digits; the shell's own read keeps this free of a process per file.
lights_read_values() {
  while read -r _word _path _rest; do
    [ "$_word" = value ] || continue
    if [ ! -e "$_path" ]; then
      printf 'value %s missing\n' "$_path"
    elif read -r _value <"$_path"; then
      printf 'value %s "%s\\n"\n' "$_path" "$_value"
    else
      printf 'value %s "%s"\n' "$_path" "$_value"
    fi
  done <"$1"
}

# The lights the board shows, one name a line, sorted.
lights_list() {
  for _light in /sys/class/leds/*; do
    [ -e "$_light" ] && echo "${_light##*/}"
  done
}

# ledsim's options for the driver's faults FILE=KIND,... A read-only sysfs file
# refuses the open but not root's access(W_OK) probe (root may write any file, as
# far as the permission check goes): that is what ledsim calls eacces.
lights_ledsim_faults() {
  _remaining=$1
  while [ -n "$_remaining" ]; do
    _fault=${_remaining%%,*}
    if [ "$_fault" = "$_remaining" ]; then
      _remaining=
    else
      _remaining=${_remaining#*,}
    fi
    case $_fault in
    *=readonly) _fault=${_fault%=readonly}=eacces ;;
    esac
    printf '%s\n' --fault "$_fault"
  done
}

# lights_scenario NAME PROFILE FAULTS MODULE REQUESTS: one lightsctl run on a fresh
# board, with FAULTS (the driver's FILE=KIND,..., or empty). Compares lightsctl's
# output and status, every write the module made with its bytes and result, the
# final value of every attribute file of the profile, and the set of lights the
# board shows.
lights_scenario() {
  _name=$1 _profile=$2 _faults=$3 _module=$4
  shift 4
  case $SCENARIO_MODE in
  record)
    _folder=$SCENARIO_DIR/$_name
    # shellcheck disable=SC2046 # one option word a line, none with spaces
    scenario_capture "$_folder" "$LEDSIM" --profile "$_profile" $(lights_ledsim_faults "$_faults") \
      --journal "$_folder/journal" -- "$LIGHTSCTL" "$_module" "$@"
    grep '^value ' "$_folder/journal" >"$_folder/values"
    grep '^write ' "$_folder/journal" >"$_folder/writes"
    rm "$_folder/journal"
    # The profile's lights, whatever files of theirs the faults take away.
    "$LEDSIM" --profile "$_profile" --list | sed 's|^/sys/class/leds/\([^/]*\)/.*|\1|' | sort -u \
      >"$_folder/lights"
    ;;
  check)
    _folder=$SCENARIO_RUN_DIR/$_name
    if ! lights_board "$_profile" "$_faults" >"$_folder.board" 2>&1; then
      scenario_result "$_name" FAIL "$_folder.board"
      return
    fi
    scenario_capture "$_folder" "$LIGHTSCTL" "$_module" "$@"
    cat "$LIGHTS_JOURNAL" >"$_folder/writes" 2>&1
    lights_read_values "$SCENARIO_DIR/$_name/values" >"$_folder/values"
    lights_list >"$_folder/lights"
    scenario_compare "$SCENARIO_DIR/$_name" "$_folder" "$_name"
    ;;
  esac
}

# FILE=KIND,... for each file of the list $2 with fault kind $1.
lights_faults_of() {
  _faults=
  for _file in $2; do
    _faults=$_faults${_faults:+,}$_file=$1
  done
  echo "$_faults"
}

# Every scenario, in order. The object system's ones expect a service manager and
# the example services to be running.
service_scenarios() {
  scenario service.list "$SERVICE" list
  scenario service.check-found "$SERVICE" check example.echo
  scenario service.check-missing "$SERVICE" check no.such.service
  scenario service.call-numbers-strings-null "$SERVICE" call example.echo 1 i32 42 i32 -7 i32 99999999999 \
    s16 hello s16 "" null
  scenario service.call-intent "$SERVICE" call example.echo 2 intent action=go data=content://x type=text/plain \
    launchFlags=3 component=a/.B categories=one,,two
  scenario service.call-unicode-descriptor "$SERVICE" call example.unicode 3 s16 caf
  scenario service.call-failing "$SERVICE" call example.failing 1 i32 7
  scenario service.call-missing "$SERVICE" call no.such.service 1
  scenario service.call-bad-argument "$SERVICE" call example.echo 1 i32
}

lights_scenarios() {
  for _p in $LIGHTS_PROFILES; do
    for _m in $LIGHTS_BOARDS; do
      # shellcheck disable=SC2086 # the request lists are word lists
      lights_scenario "lights.$_m.$_p.everyday" "$_p" "" "$_m" $LIGHTS_EVERYDAY
      # shellcheck disable=SC2086
      lights_scenario "lights.$_m.$_p.edges" "$_p" "" "$_m" $LIGHTS_EDGES
    done
  done
}

# The fault matrix on the driver's kinds: every module, both indicator layouts,
# each kind on the files each handler writes first, then on all the others.
lights_fault_scenarios() {
  for _m in $LIGHTS_BOARDS; do
    for _layout in rgb amber; do
      # Names of their own: the functions called below set theirs.
      if [ $_layout = rgb ]; then
        _faulted_first=$LIGHTS_FAULTED_FIRST_RGB _faulted_rest=$LIGHTS_FAULTED_REST_RGB
      else
        _faulted_first=$LIGHTS_FAULTED_FIRST_AMBER _faulted_rest=$LIGHTS_FAULTED_REST_AMBER
      fi
      for _kind in $LIGHTS_FAULT_KINDS; do
        # shellcheck disable=SC2086 # the request list is a word list
        lights_scenario "lights.$_m.$_layout.$_kind.first-files" "$_layout+trackball+lcd-auto" \
          "$(lights_faults_of $_kind "$_faulted_first")" "$_m" $LIGHTS_FAULT_REQUESTS
        # shellcheck disable=SC2086
        lights_scenario "lights.$_m.$_layout.$_kind.other-files" "$_layout+trackball+lcd-auto" \
          "$(lights_faults_of $_kind "$_faulted_rest")" "$_m" $LIGHTS_FAULT_REQUESTS
      done
    done
  done
}

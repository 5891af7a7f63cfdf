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
# and these functions:
#   lights_board PROFILE   makes /sys/class/leds the board PROFILE (check mode only)
#   scenario_result NAME STATUS [DETAILS_FILE]   reports one outcome (check mode only)

# The board profiles ledsim and the driver both offer: every combination.
LIGHTS_PROFILES="rgb rgb+no-blink-timing rgb+lcd-auto rgb+no-blink-timing+lcd-auto
rgb+trackball rgb+trackball+no-blink-timing rgb+trackball+lcd-auto rgb+trackball+no-blink-timing+lcd-auto
amber amber+no-blink-timing amber+lcd-auto amber+no-blink-timing+lcd-auto
amber+trackball amber+trackball+no-blink-timing amber+trackball+lcd-auto amber+trackball+no-blink-timing+lcd-auto"

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

# lights_scenario NAME PROFILE MODULE REQUESTS: one lightsctl run on a fresh board.
# Compares lightsctl's output and status, the final value of every attribute file
# of the profile, and the set of lights the board shows.
lights_scenario() {
    _name=$1 _profile=$2 _module=$3
    shift 3
    case $SCENARIO_MODE in
    record)
        _folder=$SCENARIO_DIR/$_name
        scenario_capture "$_folder" "$LEDSIM" --profile "$_profile" --journal "$_folder/journal" -- \
            "$LIGHTSCTL" "$_module" "$@"
        grep '^value ' "$_folder/journal" >"$_folder/values"
        rm "$_folder/journal"
        sed 's|^value /sys/class/leds/\([^/]*\)/.*|\1|' "$_folder/values" | sort -u >"$_folder/lights"
        ;;
    check)
        _folder=$SCENARIO_RUN_DIR/$_name
        if ! lights_board "$_profile" >"$_folder.board" 2>&1; then
            scenario_result "$_name" FAIL "$_folder.board"
            return
        fi
        scenario_capture "$_folder" "$LIGHTSCTL" "$_module" "$@"
        lights_read_values "$SCENARIO_DIR/$_name/values" >"$_folder/values"
        lights_list >"$_folder/lights"
        scenario_compare "$SCENARIO_DIR/$_name" "$_folder" "$_name"
        ;;
    esac
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
        for _m in pavok quillano; do
            # shellcheck disable=SC2086 # the request lists are word lists
            lights_scenario "lights.$_m.$_p.everyday" "$_p" "$_m" $LIGHTS_EVERYDAY
            # shellcheck disable=SC2086
            lights_scenario "lights.$_m.$_p.edges" "$_p" "$_m" $LIGHTS_EDGES
        done
    done
}

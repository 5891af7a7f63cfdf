# shellcheck shell=dash
# Checks of the LED class driver's own files, faults and write journal, sourced by
# the guest runner (busybox sh) after its checks of what the LED class accepts. Uses
# the runner's lights_board, driver_check, expect_value, expect_refused and $leds.

journal=/sys/kernel/debug/quorvel-leds/journal

# expect_journal LINE...: the journal holds exactly these lines.
expect_journal() {
  printf '%s\n' "$@" >"$TMPDIR/journal.expected"
  cat "$journal" >"$TMPDIR/journal.actual" || return 1
  diff -u "$TMPDIR/journal.expected" "$TMPDIR/journal.actual"
}

# Writes a different number to every file of board $1 (the files $2, relative to
# $leds), then reads each back: a store or a show that reaches another file's value
# fails here, and the journal must show every one of those stores.
check_each_file_keeps_its_value() {
  lights_board "$1" || return 1
  n=10
  for file in $2; do
    # shellcheck disable=SC2154 # $leds is the runner's, which sources this file
    echo $n >"$leds/$file" || return 1
    n=$((n + 1))
  done
  n=10
  for file in $2; do
    expect_value "$leds/$file" $n || return 1
    n=$((n + 1))
  done
  [ "$(grep -c '^write ' "$journal")" -eq $((n - 10)) ] || { cat "$journal"; return 1; }
}
check_rgb_files_keep_values() {
  check_each_file_keeps_its_value rgb+trackball+lcd-auto "red/brightness green/brightness blue/brightness
    red/device/blink red/device/grpfreq red/device/grppwm lcd-backlight/brightness lcd-backlight/auto
    keyboard-backlight/brightness button-backlight/brightness jogball-backlight/brightness
    jogball-backlight/blink"
}
check_amber_files_keep_values() {
  check_each_file_keeps_its_value amber+trackball+lcd-auto "amber/brightness amber/blink green/brightness
    lcd-backlight/brightness lcd-backlight/auto keyboard-backlight/brightness
    button-backlight/brightness jogball-backlight/brightness jogball-backlight/blink"
}

# Each kind a shell can see without a module: the file gone, a file without store
# (mode 0444, refused even to root), stores refused with ENOSPC or EIO keeping the
# value; healthy files beside them unchanged. The journal shows the refused stores,
# and none for the refused open.
check_faults_break_files() {
  lights_board rgb+lcd-auto \
    red/device/blink=missing,red/brightness=readonly,red/device/grpfreq=enospc,red/device/grppwm=eio ||
    return 1
  [ ! -e "$leds/red/device/blink" ] || { echo "red/device/blink is there"; return 1; }
  [ "$(stat -c %a "$leds/red/brightness")" = 444 ] || { ls -l "$leds/red/brightness"; return 1; }
  expect_refused "$leds/red/brightness" 5 && expect_refused "$leds/red/device/grpfreq" 6 &&
    expect_refused "$leds/red/device/grppwm" 7 && echo 8 >"$leds/green/brightness" &&
    expect_value "$leds/red/brightness" 0 && expect_value "$leds/red/device/grpfreq" 0 &&
    expect_value "$leds/red/device/grppwm" 0 && expect_value "$leds/green/brightness" 8 &&
    expect_journal 'write /sys/class/leds/red/device/grpfreq "6" = -ENOSPC' \
      'write /sys/class/leds/red/device/grppwm "7" = -EIO' \
      'write /sys/class/leds/green/brightness "8\n" = 2'
}

# A fault the driver cannot give, on a file the profile lacks, without a kind or
# given twice to one file: the driver does not load and leaves no lights behind.
check_refuses_bad_faults() {
  for faults in red/brightness=eacces red/brightness=close-eio red/brightness=healthy amber/blink=enospc \
    red/brightness =enospc red/brightness=enospc,red/brightness=eio; do
    if [ -d /sys/module/quorvel_leds ]; then
      rmmod quorvel_leds || return 1
    fi
    if insmod "$DRIVER" profile=rgb "faults=$faults" 2>/dev/null; then
      echo "faults=$faults accepted"
      return 1
    fi
    [ -z "$(ls "$leds")" ] || { echo "faults=$faults left lights behind"; return 1; }
  done
  lights_board rgb red/brightness=short,blue/brightness=missing
}

# The journal keeps 1024 stores, clamped and refused ones with their results; a
# store past that is counted, and still stored.
check_journal_keeps_first_stores() {
  lights_board rgb || return 1
  echo 300 >"$leds/red/brightness" && expect_refused "$leds/red/device/blink" x || return 1
  i=2
  while [ $i -lt 1024 ]; do
    echo $i >"$leds/red/device/blink" || return 1
    i=$((i + 1))
  done
  head -n 2 "$journal" >"$TMPDIR/journal.head"
  # shellcheck disable=SC2015 # any check failing shows the journal's end and fails
  [ "$(grep -c '^write ' "$journal")" -eq 1024 ] && ! grep -q '^dropped' "$journal" &&
    [ "$(tail -n 1 "$journal")" = 'write /sys/class/leds/red/device/blink "1023\n" = 5' ] &&
    printf '%s\n' 'write /sys/class/leds/red/brightness "300\n" = 4' \
      'write /sys/class/leds/red/device/blink "x" = -EINVAL' | diff -u - "$TMPDIR/journal.head" ||
    { tail -n 3 "$journal"; return 1; }
  # shellcheck disable=SC2015 # any check failing shows the journal's end and fails
  echo 1024 >"$leds/red/device/blink" && expect_value "$leds/red/device/blink" 1024 &&
    [ "$(grep -c '^write ' "$journal")" -eq 1024 ] &&
    [ "$(tail -n 1 "$journal")" = "dropped 1 writes after the first 1024" ] ||
    { tail -n 3 "$journal"; return 1; }
}

driver_check rgb-files-keep-their-own-values check_rgb_files_keep_values
driver_check amber-files-keep-their-own-values check_amber_files_keep_values
driver_check faults-break-files check_faults_break_files
driver_check refuses-bad-faults check_refuses_bad_faults
driver_check journal-keeps-first-1024-stores check_journal_keeps_first_stores

#!/usr/bin/env bash
# Fails when an include of the class library runs back up its layers: a file of wire/
# that includes a header of client/, host/ or the public face above them (src/ itself),
# a file of client/ one of host/ or the face, or a file of host/ one of the face.
# Usage: layer_includes_test.sh SRC_FOLDER
set -euo pipefail
src=$1
layers=(wire client host)
failures=0
checked=0

# The headers of every layer above layer number $1, one file name a line.
headers_above() {
  local i
  for ((i = $1 + 1; i < ${#layers[@]}; i++)); do
    find "$src/${layers[i]}" -maxdepth 1 -name '*.h' -printf '%f\n'
  done
  find "$src" -maxdepth 1 -name '*.h' -printf '%f\n'
}

for ((layer = 0; layer < ${#layers[@]}; layer++)); do
  above=$(headers_above "$layer")
  for file in "$src/${layers[layer]}"/*.h "$src/${layers[layer]}"/*.cpp; do
    [[ -e $file ]] || continue
    checked=$((checked + 1))
    while IFS= read -r included; do
      if grep -qxF -- "$(basename "$included")" <<<"$above"; then
        echo "FAIL: ${layers[layer]}/$(basename "$file") includes \"$included\", a header of a layer above" >&2
        failures=$((failures + 1))
      fi
    done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file")
  done
done

if ((checked == 0)); then
  echo "FAIL: no source files under $src/{${layers[*]}}" >&2
  exit 1
fi
echo "$checked files checked, $failures includes running back up"
((failures == 0))

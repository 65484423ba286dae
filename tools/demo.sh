#!/usr/bin/env bash
# The main job, shown on a fresh Debian 12 machine: builds holm, makes a
# bundle that carries a sample firmware image, and runs it as a user would.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
need=()
for p in cmake g++ make libgtest-dev python3 libcups2-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target holm holm-pack

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p fw
{ printf 'qUoRdaViNe'; head -c 100000 /dev/urandom; } > fw/image.bin
printf 'Sample release notes\n' > fw/notes.txt
"$top/build/linux/holm-pack" -o fw-update.exe fw/image.bin fw/notes.txt
rm -r fw
mkdir out && cd out

show() { echo; echo "\$ $*"; "$@" && echo "[exit status 0]" || echo "[exit status $?]"; }
show ../fw-update.exe -h
show ../fw-update.exe
show ls -lR
echo; echo "\$ echo n | ../fw-update.exe   (the files exist now: it asks)"
s=0; echo n | ../fw-update.exe || s=$?; echo; echo "[exit status $s]"
show ../fw-update.exe -q

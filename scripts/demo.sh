#!/usr/bin/env bash
# A whole archive run on the embedded default: installs the packages, builds,
# generates a sample archive with its SQLite database, and lets velunor-cli
# write one disc into an image folder, read it back and record it.
# Everything lands under build/demo (removed and made anew on every call).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VELUNOR_BUILD_DIR:-$root/build}
demo=$build/demo

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VELUNOR_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)" --target velunor velunor-cli velunor-make-archive

rm -rf "$demo"
mkdir -p "$demo/iso"
cmake --install "$build" --prefix "$demo" >/dev/null   # bin/velunor, bin/velunor-cli

# 16 studies; the first 4 are on disc 6 alone, so disc 7 carries them again in 1/.
"$build/tools/velunor-make-archive" --out "$demo/archive" --studies 16 --files-per-study 4 --file-size 1M \
  --carry-over 4 --last-disc 6 --sqlite "$demo/archive.db" --quiet
printf ' 6 \r\n' > "$demo/bin/LastMediaNr"
cat > "$demo/bin/velunor.ini" <<INI
[CONFIG]
ServerType=SQLite3
Server=$demo/archive.db
TempPath=$demo/staging
ImageFolder=$demo/iso
MSGDVDInsert=Please insert an empty DVD.
MSGDVDName=Please remove the disc;and label it DVD {NAME}.
DVDSpeed=0
Archive=0
ASAPI=0
AuthBurn=0
INI

echo "== velunor-cli run --yes (program directory $demo/bin)"
status=0
"$demo/bin/velunor-cli" run --yes || status=$?

echo
echo "== image folder"
ls -l "$demo/iso"
echo "== LastMediaNr: $(tr -d '\r' < "$demo/bin/LastMediaNr")"
echo "== tblStudies"
sqlite3 -header -column "$demo/archive.db" \
  "SELECT StudyID, StudyDirectory2, substr(StudyUID, 1, 40) AS StudyUID FROM tblStudies ORDER BY StudyID"
iso=$(ls "$demo"/iso/*.iso 2>/dev/null | head -n 1 || true)
if [ -n "$iso" ]; then
  echo "== what xorriso reads on $(basename "$iso")"
  xorriso -indev "$iso" -find / -type f 2>/dev/null | head -n 20
fi
exit $status

#!/usr/bin/env bash
# A whole archive run on the embedded default: installs the packages, builds,
# generates a sample archive with its SQLite database, and lets velunor-cli
# write one disc into an image folder, read it back and record it.
# Everything lands under build/demo (removed and made anew on every call).
#   scripts/demo.sh [archive|general-purpose]   the media profile of the discs (default archive)
set -euo pipefail
profile=${1:-archive}
case "$profile" in
  archive|general-purpose) ;;
  *) echo "usage: $0 [archive|general-purpose]" >&2; exit 2 ;;
esac
source "$(dirname "$0")/common.sh"
demo=$build/demo
prepare velunor velunor-cli velunor-make-archive

rm -rf "$demo"
mkdir -p "$demo/iso"
cmake --install "$build" --prefix "$demo" >/dev/null   # bin/velunor, bin/velunor-cli

# A few hundred MB: two archive roots, ZIP studies, file names that clash
# across studies, one unreadable file.
"$build/tools/velunor-make-archive" --out "$demo/archive" --studies 40 --files-per-study 4 --file-size 2M \
  --roots 2 --zip-percent 15 --unreadable 1 --sqlite "$demo/archive.db" --quiet
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
MediaProfile=$profile
INI

db() { sqlite3 "$demo/archive.db" "$@"; }
# The archive grows between the runs: the last 15 studies arrive after disc 1.
db "UPDATE tblStudies SET StudyDirectory2 = 'arrives later' WHERE StudyID > 25"

show() {
  local iso="$demo/iso/$1.iso"
  echo "== $1: what an independent reader (xorriso, dcmdump) finds on the image"
  local out="$demo/readback/$1"
  rm -rf "$out" && mkdir -p "$out"
  xorriso -osirrox on -indev "$iso" -extract / "$out" >/dev/null 2>&1
  chmod -R u+w "$out"
  for folder in 1 2; do
    printf '   %s/: %s files, studies:' "$folder" "$(find "$out/$folder" -maxdepth 1 -type f | wc -l)"
    find "$out/$folder" -maxdepth 1 -type f -print0 |
      xargs -0 -r dcmdump -q +P StudyInstanceUID 2>/dev/null | sed 's/.*\[\(.*\)\].*/\1/' | sort -u |
      while read -r uid; do printf ' %s' "$(db "SELECT StudyID FROM tblStudies WHERE StudyUID = '$uid'")"; done
    echo
  done
  if [ "$profile" = general-purpose ]; then
    # What readers of the disc make of its DICOMDIR.
    local records
    records=$(cd "$out" && dcmdump DICOMDIR 2>&1 | grep -c '(0004,1500)') &&
      echo "   dcmdump DICOMDIR: read whole, $records file records" || echo "   dcmdump DICOMDIR: FAILED"
    (cd "$out" && dcmmkdir --general-dvd-jpeg +D "$out.rebuilt" +r 1 2 >/dev/null 2>&1) &&
      echo "   dcmmkdir --general-dvd-jpeg +r 1 2: accepts every file" || echo "   dcmmkdir --general-dvd-jpeg: FAILED"
    echo "   dciodvfy DICOMDIR: $(cd "$out" && dciodvfy DICOMDIR 2>&1 | grep -c '^Error' || true) errors"
  fi
}

status=0
for disc in 1 2; do
  echo "== run $disc: velunor-cli run --yes --notice-ms 1000 (program directory $demo/bin)"
  "$demo/bin/velunor-cli" run --yes --notice-ms 1000 || status=$?
  [ "$disc" = 1 ] && db "UPDATE tblStudies SET StudyDirectory2 = NULL WHERE StudyDirectory2 = 'arrives later'"
  echo
done

echo "== image folder"
ls -l "$demo/iso"
for iso in "$demo"/iso/*.iso; do show "$(basename "$iso" .iso)"; done
echo "== LastMediaNr: $(tr -d '\r' < "$demo/bin/LastMediaNr")"
echo "== tblStudies: how many studies the database records per value of StudyDirectory2"
sqlite3 -header -column "$demo/archive.db" \
  "SELECT coalesce(StudyDirectory2, '(on no disc)') AS StudyDirectory2, count(*) AS studies,
          group_concat(StudyID, ' ') AS StudyIDs
   FROM tblStudies GROUP BY StudyDirectory2 ORDER BY min(StudyID)"
echo "== files the staging copy could not read (Logs/FileLog.log)"
cat "$demo/bin/Logs/FileLog.log" 2>/dev/null | tr -d '\r' | cut -c1-160 || true
exit $status

#!/usr/bin/env bash
# Fresh Debian 12 machine to tested build: installs the packages, configures,
# builds, starts the services the tests need and runs every test.
# Exits non-zero on any failure.
source "$(dirname "$0")/common.sh"
prepare

# Tests that need PostgreSQL get a throw-away cluster for the duration of the run.
"$root/scripts/with-postgres.sh" ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

# The Debian package: built, installed, one run of the installed velunor-cli
# on a small generated archive (SQLite, image folder), purged again. Needs
# root; refuses to touch a machine where velunor is installed already.
if [ "$(id -u)" != 0 ]; then
  echo "test: not root, the package trial is left out" >&2
elif dpkg-query -W -f='${Status}' velunor 2>/dev/null | grep -q installed; then
  echo "test: velunor is installed on this machine; the package trial would replace it" >&2
  exit 1
else
  deb=$(VELUNOR_BUILD_DIR="$build" "$root/scripts/package.sh" | tail -n1)
  trial=$(mktemp -d "${TMPDIR:-/tmp}/velunor-package-trial.XXXXXX")
  program=/opt/velunor/bin
  purge() {
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq velunor >/dev/null
    rm -f "$program/LastMediaNr" "$program/RecordJournal"   # kept by a purge, made by the trial's run
    rmdir "$program" /opt/velunor 2>/dev/null || true
  }
  trap 'purge || true; rm -rf "$trial"' EXIT
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null </dev/null
  for f in "$program/velunor" "$program/velunor-cli" "$program/velunor.ini" /lib/systemd/system/velunor.timer \
           /usr/share/man/man1/velunor-cli.1.gz /usr/share/applications/velunor.desktop; do
    [ -e "$f" ] || { echo "test: the package did not install $f" >&2; exit 1; }
  done
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /lib/systemd/system/velunor.service /lib/systemd/system/velunor.timer
  fi
  # About 20 MB of new data: a manual run writes no disc for 10 MB or less.
  "$build/tools/velunor-make-archive" --out "$trial/archive" --studies 6 --files-per-study 2 \
    --file-size 2M --unreadable 0 --syntaxes explicit-le --sqlite "$trial/archive.db" --quiet
  mkdir "$trial/iso"
  printf '[CONFIG]\nServerType=SQLite3\nServer=%s\nTempPath=%s\nImageFolder=%s\nAuthBurn=0\n' \
    "$trial/archive.db" "$trial/staging" "$trial/iso" > "$program/velunor.ini"
  status=0
  timeout 300 "$program/velunor-cli" run --yes --notice-ms 0 </dev/null || status=$?
  recorded=$(sqlite3 "$trial/archive.db" "SELECT count(*) FROM tblStudies WHERE StudyDirectory2 = 'DVD 1'")
  if [ "$status" != 0 ] || [ ! -s "$trial/iso/DVD 1.iso" ] || [ "$recorded" != 6 ]; then
    echo "test: the installed velunor-cli exited $status, image: $(ls "$trial/iso"), studies recorded: $recorded" >&2
    exit 1
  fi
  purge
  # The purge leaves nothing of the package behind.
  if [ -e /opt/velunor ] || [ -e /var/lib/velunor ] || [ -e /lib/systemd/system/velunor.service ]; then
    echo "test: the purge left files behind: $(find /opt/velunor /var/lib/velunor 2>/dev/null)" >&2
    exit 1
  fi
  trap - EXIT
  rm -rf "$trial"
  echo "test: package trial passed ($(basename "$deb"))"
fi

# The whole suite once more in an AddressSanitizer + UndefinedBehaviorSanitizer
# build (its own build folder); VELUNOR_SANITIZERS=0 leaves it out of a local run.
if [ "${VELUNOR_SANITIZERS:-1}" != 0 ]; then
  VELUNOR_BUILD_DIR="$build" "$root/scripts/test-sanitizers.sh"
fi

# Fuzz smoke: each libFuzzer program (DICOM toolkit, ZIP extraction, INI
# reader) runs a few seconds on its seeds, in a clang build of its own. The
# bounded runs are a separate command: scripts/fuzz.sh SECONDS.
VELUNOR_FUZZ_BUILD_DIR="${build}-fuzz" "$root/scripts/fuzz.sh" "${VELUNOR_FUZZ_SMOKE_SECONDS:-5}"

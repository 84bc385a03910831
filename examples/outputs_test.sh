#!/bin/sh
# What the example does to the files it is given, on the sample set it writes
# with --write-sample.
#
#   outputs_test.sh write-fail <work folder> <command that runs the example>
#       an output that cannot be written whole (a file-size limit cuts the PQS
#       image; the new Zan.cfg goes to a missing folder or onto a folder):
#       non-zero exit, every file as it was, no file left behind; then a job
#       that can write replaces the images (keeping their permissions) and the
#       next job mounts them again.
#   outputs_test.sh unknown-sku <work folder> <command that runs the example>
#       a SKU that the file table does not name: non-zero exit, nothing
#       written, with or without images.
set -u
mode=$1 dir=$2
shift 2
fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || fail "no work folder $dir"
"$@" --write-sample sample >/dev/null || fail "--write-sample exited with $?"
cd sample || fail "--write-sample made no folder"
for f in ftbl.bin tarvo.cfg ombl.cfg pqs.img efs.img; do
  [ -s "$f" ] || fail "--write-sample wrote no $f"
done
mkdir ../before && cp -p ./* ../before/ || fail "cannot keep a copy of the sample"
listing=$(ls -a)

# Every file of the sample folder as --write-sample left it, and no other.
unchanged() {  # <what was run>
  [ "$(ls -a)" = "$listing" ] || fail "$1: the folder now holds $(ls -a | tr '\n' ' ')"
  for f in ../before/*; do
    cmp -s "$f" "${f##*/}" || fail "$1: ${f##*/} changed"
  done
}

case $mode in
write-fail)
  # ulimit -f counts blocks of 512 (dash) or 1024 bytes (bash): either way
  # the 262,144-byte PQS image does not fit and the 49,152-byte EFS image does.
  (trap '' XFSZ; ulimit -f 100 && exec "$@" --pqs pqs.img --efs efs.img ftbl.bin 3 tarvo.cfg ombl.cfg Zan.cfg) \
    >/dev/null 2>&1 && fail "a PQS image cut by the file-size limit: exit 0"
  unchanged "a PQS image cut by the file-size limit"
  "$@" --pqs pqs.img --efs efs.img ftbl.bin 3 tarvo.cfg ombl.cfg missing/Zan.cfg >/dev/null 2>&1 \
    && fail "a new Zan.cfg in a missing folder: exit 0"
  unchanged "a new Zan.cfg in a missing folder"
  mkdir folder && listing=$(ls -a)
  "$@" --pqs pqs.img --efs efs.img ftbl.bin 3 tarvo.cfg ombl.cfg folder >/dev/null 2>&1 \
    && fail "a folder as the new Zan.cfg: exit 0"
  unchanged "a folder as the new Zan.cfg"

  chmod 640 pqs.img
  "$@" --pqs pqs.img --efs efs.img ftbl.bin 3 tarvo.cfg ombl.cfg Zan.cfg >/dev/null || fail "the job exited with $?"
  cmp -s pqs.img ../before/pqs.img && fail "the job left pqs.img as it was"
  [ -s Zan.cfg ] || fail "the job wrote no Zan.cfg"
  [ "$(ls -l pqs.img | cut -c1-10)" = "-rw-r-----" ] || fail "pqs.img lost its permissions: $(ls -l pqs.img)"
  [ "$(ls -a | wc -l)" -eq $(($(printf '%s\n' "$listing" | wc -l) + 1)) ] || fail "the job left $(ls -a | tr '\n' ' ')"
  "$@" --pqs pqs.img --efs efs.img ftbl.bin 3 tarvo.cfg ombl.cfg Zan.cfg >/dev/null || fail "the next job exited with $?"
  ;;
unknown-sku)
  echo precious >Zan.cfg
  cp -p Zan.cfg ../before/ && listing=$(ls -a)
  "$@" --pqs pqs.img --efs efs.img ftbl.bin 4 tarvo.cfg ombl.cfg Zan.cfg >/dev/null 2>&1 \
    && fail "SKU 4 with images: exit 0"
  unchanged "SKU 4 with images"
  "$@" ftbl.bin 4 tarvo.cfg ombl.cfg >/dev/null 2>&1 && fail "SKU 4: exit 0"
  unchanged "SKU 4"
  ;;
*)
  fail "no such case: $mode"
  ;;
esac
echo "passed: $mode"

#!/usr/bin/env bash
# Compares the export table of a built DorvStorageLib with the symbol lists in
# tests/exports/*.syms, in both directions: every listed name is exported and
# nothing else is (apart from the type information of exported classes).
#
# Usage: check_exports.sh <library> <syms-dir> <elf|pe> [objdump]
# Lines of a .syms file: a symbol name; "!name" must not be exported;
# "lp64:name" / "ilp32:name" apply only to ELF builds of that pointer width.
set -euo pipefail
lib=$1 dir=$2 kind=$3 objdump=${4:-objdump}

if [[ $kind == elf ]]; then
  exported=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort -u)
  if readelf -h "$lib" | grep -q 'Class:[[:space:]]*ELF32'; then width=ilp32; else width=lp64; fi
else
  exported=$("$objdump" -p "$lib" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t&&NF==0{t=0}' | sort -u)
  width=pe
fi

want=() forbid=()
while IFS= read -r line; do
  line=${line%%#*}; line=${line//[[:space:]]/}
  [[ -z $line ]] && continue
  if [[ $line == lp64:* || $line == ilp32:* ]]; then
    [[ ${line%%:*} == "$width" ]] || continue
    line=${line#*:}
  fi
  if [[ $line == !* ]]; then forbid+=("${line#!}"); else want+=("$line"); fi
done < <(cat "$dir"/*.syms)

fail=0
for s in "${want[@]}"; do
  grep -qxF -- "$s" <<<"$exported" || { echo "missing export: $s"; fail=1; }
done
for s in "${forbid[@]}"; do
  if grep -qxF -- "$s" <<<"$exported"; then echo "internal symbol exported: $s"; fail=1; fi
done
listed=$(printf '%s\n' "${want[@]}" | sort -u)
while IFS= read -r s; do
  [[ -z $s ]] && continue
  case $s in _ZTI*|_ZTS*|_ZTV*) continue ;; esac   # type information of exported classes
  grep -qxF -- "$s" <<<"$listed" || { echo "unexpected export: $s"; fail=1; }
done <<<"$exported"
[[ $fail == 0 ]] && echo "exports of $(basename "$lib"): ${#want[@]} listed names present, nothing else"
exit $fail

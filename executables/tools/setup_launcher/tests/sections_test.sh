#!/usr/bin/env bash
# The launcher's resources are its last section, in memory and in the file (lean_image.ld puts
# them there): setup_packer rewrites them to brand a setup file, and only a last section can grow
# without moving another.
#   sections_test.sh OBJDUMP LAUNCHER_EXE
set -uo pipefail
objdump=${1:?objdump}
launcher=${2:?setup_launcher.exe}
# Name, VMA and file offset of every section that occupies the image, in the table's order.
sections=$("$objdump" -h "$launcher" | awk '$1 ~ /^[0-9]+$/ { name = $2; vma = $4; offset = $6 }
    /ALLOC/ && name != "" { print name, vma, offset; name = "" }') || exit 1
echo "$sections"
last=$(tail -1 <<<"$sections")
[[ ${last%% *} == .rsrc ]] || {
    echo "FAIL: the last section is ${last%% *}, not .rsrc"
    exit 1
}
highest_vma=$(awk '{ print $2 }' <<<"$sections" | sort | tail -1)
highest_offset=$(awk '$3 !~ /^0+$/ { print $3 }' <<<"$sections" | sort | tail -1)
read -r _ vma offset <<<"$last"
[[ $vma == "$highest_vma" && $offset == "$highest_offset" ]] || {
    echo "FAIL: .rsrc at $vma (file $offset) is not the highest ($highest_vma, file $highest_offset)"
    exit 1
}
echo "ok: .rsrc is the last section, in memory and in the file"

# shellcheck shell=bash
# Launcher images for tests that need no real launcher: the smallest Windows GUI program that
# setup_packer takes for a launcher, and packing behind a launcher that is no PE image (the
# launcher's POSIX twin), which setup_packer refuses as --launcher; and packing from manifest
# entries with either build of setup_packer (pack_entries).

# put_le FILE OFFSET VALUE BYTES: writes a little-endian number into a file.
put_le() {
    local escapes="" i
    for ((i = 0; i < $4; i++)); do escapes+=$(printf '\\x%02x' $(($3 >> (8 * i) & 255))); done
    # shellcheck disable=SC2059  # the escapes are the format
    printf "$escapes" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# write_pe_stub FILE [SIZE [MACHINE [SUBSYSTEM]]]: SIZE bytes (default 1024, at least 1024) of
# zeros holding a DOS header, "PE\0\0" at 0x80, the file header and an optional header with 16
# data directories: PE32 for i386 (MACHINE 0x14C, the default), PE32+ for AMD64 (0x8664).
# SUBSYSTEM defaults to 2, the Windows GUI. The certificate table's entry (entry 4 of the data
# directories) is at 0x80 + 24 + 96 + 32 in PE32, 16 bytes later in PE32+. One section, at 0x200
# in the file, holds the resources by which setup_packer knows its launchers: the dialog
# templates 129 and 130 and a manifest naming the assembly SetupLauncher.
write_pe_stub() {
    local file=$1 size=${2:-1024} machine=${3:-0x14C} subsystem=${4:-2}
    local optional=$((0x80 + 24)) pe32_plus=0
    [[ $((machine)) -eq $((0x8664)) ]] && pe32_plus=1
    head -c "$size" /dev/zero >"$file"
    put_le "$file" 0 $((0x5A4D)) 2
    put_le "$file" $((0x3C)) $((0x80)) 4
    put_le "$file" $((0x80)) $((0x4550)) 4
    put_le "$file" $((0x80 + 4)) $((machine)) 2
    put_le "$file" $((0x80 + 20)) $((pe32_plus ? 240 : 224)) 2
    put_le "$file" "$optional" $((pe32_plus ? 0x20B : 0x10B)) 2
    put_le "$file" $((optional + 68)) "$subsystem" 2
    put_le "$file" $((optional + (pe32_plus ? 108 : 92))) 16 4
    _write_stub_resources "$file" "$optional" "$pe32_plus"
}

# _write_stub_resources FILE OPTIONAL_OFFSET PE32_PLUS: the resource section of write_pe_stub, at
# 0x200 in the file and 0x1000 in memory: the directory (types 5 and 24; names 129, 130 and 1;
# language 0x409), three data entries, two 4-byte dialog templates and the manifest.
_write_stub_resources() {
    local file=$1 optional=$2 pe32_plus=$3 base=$((0x200)) rva=$((0x1000))
    local manifest='<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"><assemblyIdentity type="win32" name="SetupLauncher" version="1.0.0.0"/></assembly>'
    local size=$((0xE0 + ${#manifest})) at value header
    local directories=$((optional + (pe32_plus ? 112 : 96)))
    header=$((optional + (pe32_plus ? 240 : 224)))
    put_le "$file" $((0x80 + 6)) 1 2 # one section
    put_le "$file" $((optional + 32)) $((0x1000)) 4 # section alignment
    put_le "$file" $((optional + 36)) $((0x200)) 4 # file alignment
    put_le "$file" $((optional + 56)) $((0x2000)) 4 # size of the image
    put_le "$file" $((optional + 60)) $((0x200)) 4 # size of the headers
    put_le "$file" $((directories + 16)) "$rva" 4
    put_le "$file" $((directories + 20)) "$size" 4
    printf '.rsrc' | dd of="$file" bs=1 seek="$header" conv=notrunc status=none
    for value in "8 $size" "12 $rva" "16 512" "20 $base" "36 $((0x40000040))"; do
        put_le "$file" $((header + ${value% *})) "${value#* }" 4
    done
    # Directories: offset, number of ID entries, then each entry's ID and target.
    for at in "0x00 2 5 0x80000020 24 0x80000040" "0x20 2 129 0x80000058 130 0x80000070" \
        "0x40 1 1 0x80000088" "0x58 1 0x409 0xA0" "0x70 1 0x409 0xB0" "0x88 1 0x409 0xC0"; do
        set -- $at
        put_le "$file" $((base + $1 + 14)) "$2" 2
        put_le "$file" $((base + $1 + 16)) $(($3)) 4
        put_le "$file" $((base + $1 + 20)) $(($4)) 4
        if [[ $2 -eq 2 ]]; then
            put_le "$file" $((base + $1 + 24)) $(($5)) 4
            put_le "$file" $((base + $1 + 28)) $(($6)) 4
        fi
    done
    # Data entries: the data's address and size.
    put_le "$file" $((base + 0xA0)) $((rva + 0xD0)) 4
    put_le "$file" $((base + 0xA4)) 4 4
    put_le "$file" $((base + 0xB0)) $((rva + 0xD8)) 4
    put_le "$file" $((base + 0xB4)) 4 4
    put_le "$file" $((base + 0xC0)) $((rva + 0xE0)) 4
    put_le "$file" $((base + 0xC4)) ${#manifest} 4
    printf '%s' "$manifest" | dd of="$file" bs=1 seek=$((base + 0xE0)) conv=notrunc status=none
}

# pack_behind PACKER LAUNCHER OUTPUT [BUILD OPTIONS...]: packs with setup_packer behind a stub,
# then writes LAUNCHER followed by the chain to OUTPUT. The launcher reads the chain from the end
# of its file, so the chain works behind any image.
pack_behind() {
    local packer=$1 launcher=$2 output=$3 stub packed status=0
    shift 3
    stub=$(mktemp) && packed=$(mktemp) || return 1
    write_pe_stub "$stub" 1024
    "$packer" build --launcher "$stub" --output "$packed" --force "$@" || status=$?
    if [[ $status -eq 0 ]]; then
        { cat "$launcher" && tail -c +1025 "$packed"; } >"$output.tmp" &&
            chmod +x "$output.tmp" && mv "$output.tmp" "$output" || status=1
    fi
    rm -f "$stub" "$packed" "$output.tmp"
    return "$status"
}

# pack_entries OUTPUT ENTRY...: packs the launcher with entries as in a manifest's "attachments"
# array. Reads $mode ("native": the Linux setup_packer behind the native launcher; "wine": the
# Windows setup_packer under Wine), $packer, $launcher and $work (the manifest goes below it).
pack_entries() {
    local output=$1 manifest
    shift
    mkdir -p "$work/payload" || return 1
    manifest=$work/payload/manifest.$RANDOM.json
    (
        IFS=,
        printf '{"attachments": [%s]}\n' "$*"
    ) >"$manifest"
    if [[ $mode == native ]]; then
        pack_behind "$packer" "$launcher" "$output" --manifest "$manifest" >/dev/null
    else
        wine "$packer" build --launcher "$(unix_to_wine_path "$launcher")" \
            --output "$(unix_to_wine_path "$output")" \
            --manifest "$(unix_to_wine_path "$manifest")" >/dev/null
    fi
}

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

# write_pe_stub FILE [SIZE [MACHINE [SUBSYSTEM]]]: SIZE bytes (default 1024, at least 512) of
# zeros holding a DOS header, "PE\0\0" at 0x80, the file header and an optional header with 16
# data directories: PE32 for i386 (MACHINE 0x14C, the default), PE32+ for AMD64 (0x8664).
# SUBSYSTEM defaults to 2, the Windows GUI. The certificate table's entry (entry 4 of the data
# directories) is at 0x80 + 24 + 96 + 32 in PE32, 16 bytes later in PE32+.
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

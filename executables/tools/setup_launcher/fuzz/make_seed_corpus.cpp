// Writes the seed corpus of chain_fuzzer: a few tiny launcher files, valid and damaged.
// Usage: make_seed_corpus DIRECTORY
#include <cstdio>
#include <string>
#include <vector>

#include "setup_payload/adler32.h"
#include "setup_payload/payload_format.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Signature signature = attachment_signature();

Bytes image(std::size_t size) {
    Bytes bytes(size, 0x90);
    bytes[0] = 'M';
    bytes[1] = 'Z';
    return bytes;
}

void add(Bytes& chain, AttachmentPlan plan, const Bytes& data = {}) {
    plan.data_size = data.size();
    if ((plan.flags & flag_is_file) != 0 || !data.empty()) {
        plan.checksum = adler32(adler32_initial, data.data(), data.size());
    }
    chain.insert(chain.end(), data.begin(), data.end());
    const Bytes header = encode_attachment_header(plan, signature);
    chain.insert(chain.end(), header.begin(), header.end());
}

AttachmentPlan attachment(std::u16string name, std::uint8_t flags, std::u16string parameters = {},
                          std::uint16_t lcid = 0) {
    AttachmentPlan plan;
    plan.name = std::move(name);
    plan.parameters = std::move(parameters);
    plan.flags = flags;
    plan.lcid = lcid;
    plan.checksum = 0;
    return plan;
}

void store32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The smallest PE headers that name a certificate table: "PE\0\0" at 0x40, a PE32 optional
// header of 136 bytes with 5 data directories, the last one the certificate table's entry.
constexpr std::size_t pe_headers_size = 0x40 + 24 + 136;
constexpr std::size_t security_entry_at = 0x40 + 24 + 96 + 4 * 8;

Bytes pe_headers() {
    Bytes bytes = image(pe_headers_size);
    store32(bytes, 0x3C, 0x40);
    store32(bytes, 0x40, 'P' | 'E' << 8);
    bytes[0x40 + 20] = 136;
    bytes[0x40 + 21] = 0;
    bytes[0x40 + 24] = 0x0B;
    bytes[0x40 + 25] = 0x01;
    store32(bytes, 0x40 + 24 + 92, 5);
    return bytes;
}

// Pads to 8 bytes and appends a certificate table of `size` bytes that the headers name.
void sign(Bytes& file, std::size_t size) {
    file.resize((file.size() + 7) / 8 * 8, 0);
    store32(file, security_entry_at, static_cast<std::uint32_t>(file.size()));
    store32(file, security_entry_at + 4, static_cast<std::uint32_t>(size));
    file.insert(file.end(), size, 0x30);
}

// The fixed fields of the attachment that ends `chain`.
FixedFields last_fields(const Bytes& chain) {
    return decode_fixed_fields(chain.data() + chain.size() - header_overhead);
}

void set_last_fields(Bytes& chain, const FixedFields& fields) {
    encode_fixed_fields(fields, chain.data() + chain.size() - header_overhead);
}

bool write(const std::string& path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string directory = argv[1];
    std::vector<std::pair<std::string, Bytes>> seeds;

    // A command for every language and the file it installs, then a certificate table.
    Bytes typical = image(24);
    add(typical, attachment(u"msiexec.exe", flag_is_command | flag_run_in_extraction_dir,
                            u"/p update.msp REINSTALL=ALL"));
    add(typical, attachment(u"update.msp", flag_is_file), Bytes(48, 0x5A));
    typical.insert(typical.end(), 16, 0x30);
    seeds.emplace_back("typical", typical);

    // Commands bound to languages, a file in a directory, a quiet command with data.
    Bytes localized = image(8);
    add(localized, attachment(u"docs\\readme.txt", flag_is_file), Bytes(20, 'r'));
    add(localized, attachment(u"setup.exe", flag_is_command | flag_has_lcid, u"/lang de", 0x0407));
    add(localized, attachment(u"setup.exe", flag_is_command | flag_has_lcid | flag_quiet,
                              u"/lang en", 0x0409));
    add(localized, attachment(u"tool.exe", flag_is_command), Bytes(6, 't'));
    seeds.emplace_back("localized", localized);

    // has_lcid without a command, an empty file and an attachment of neither kind.
    Bytes unusual = image(4);
    add(unusual, attachment(u"a.bin", flag_is_file | flag_has_lcid, u"", 0x0407), Bytes(5, 'a'));
    add(unusual, attachment(u"empty.txt", flag_is_file));
    add(unusual, attachment(u"note", flag_has_lcid, u"", 0x0409));
    add(unusual, attachment(u"", 0));
    seeds.emplace_back("unusual", unusual);

    // Damaged: a header_size one too large behind a valid attachment, and one that stands still.
    Bytes damaged = image(4);
    add(damaged, attachment(u"x.dat", flag_is_file), Bytes(3, 'x'));
    add(damaged, attachment(u"y.dat", flag_is_file), Bytes(3, 'y'));
    FixedFields fields = last_fields(damaged);
    ++fields.header_size;
    set_last_fields(damaged, fields);
    seeds.emplace_back("damaged_size", damaged);
    Bytes stalled = image(4);
    add(stalled, attachment(u"run.exe", flag_is_command));
    fields = last_fields(stalled);
    fields.header_size = 0;
    set_last_fields(stalled, fields);
    seeds.emplace_back("stalled", stalled);

    seeds.emplace_back("image_only", image(40));

    // Signed, then an attachment appended after the certificate table, and one slipped inside
    // it with the table's size enlarged: neither is inside the signed range.
    Bytes signed_after = pe_headers();
    add(signed_after, attachment(u"setup.exe", flag_is_command));
    sign(signed_after, 16);
    add(signed_after, attachment(u"evil.exe", flag_is_command));
    seeds.emplace_back("signed_after", signed_after);
    Bytes signed_inside = pe_headers();
    add(signed_inside, attachment(u"setup.exe", flag_is_command));
    sign(signed_inside, 16);
    const std::size_t table_start = signed_inside.size() - 16;
    add(signed_inside, attachment(u"evil.exe", flag_is_command));
    store32(signed_inside, security_entry_at + 4,
            static_cast<std::uint32_t>(signed_inside.size() - table_start));
    seeds.emplace_back("signed_inside", signed_inside);

    for (const auto& [name, bytes] : seeds) {
        if (!write(directory + "/" + name, bytes)) {
            std::fprintf(stderr, "can't write %s/%s\n", directory.c_str(), name.c_str());
            return 1;
        }
    }
    return 0;
}

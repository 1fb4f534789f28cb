// Writes launcher files that setup_packer refuses to make, for the tests.
//
// corpus_generator IMAGE PACKED OUT_DIR
//   The bad-input corpus: damaged variants of one valid launcher file, for the launcher to run one
//   by one.
//
// corpus_generator chain BASE OUTPUT ATTACHMENT...
//   BASE followed by a chain of the attachments given, without any of setup_packer's checks:
//   names, flags, checksums and header sizes are written as they are given. The attachments are
//   given in the order the launcher reads them (the first one ends up nearest the file's end), as
//   with setup_packer. Texts are UTF-8 on the command line.
//     --file NAME PATH                      a file attachment (flags 0x01) with PATH's bytes
//     --empty NAME                          an empty file attachment (flags 0x01)
//     --command FLAGS PROGRAM PARAMETERS    a command without data; FLAGS in hexadecimal
//   and, changing the attachment before them:
//     --checksum HEX                        the stored checksum instead of the data's
//     --lcid HEX                            the LCID field's value (with flag 0x04)
//     --header-size-delta N                 the stored header size off by N
//
// IMAGE is the launcher executable, PACKED the same executable with a valid chain appended. Every
// case is "the first CUT bytes of IMAGE, followed by OUT_DIR/ID.tail", so that a case costs a few
// hundred bytes on disk however large the image is. OUT_DIR/cases.tsv lists them, one a line:
//   ID <tab> CUT <tab> EXIT <tab> LOG <tab> LABEL
// EXIT is the exit code a case must end with, or "-" when either 0 or 1 is acceptable; LOG is the
// comma-separated list of lines that the commands must have written when the case ends with 0
// (each command of the chain writes its own tag), "none" for none, or "-" for any.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "setup_payload/adler32.h"
#include "setup_payload/chain_reader.h"
#include "wide_format.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Signature signature = attachment_signature();

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "corpus_generator: %s\n", message.c_str());
    std::exit(2);
}

Bytes read_file(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        fail(std::string("can't open ") + path);
    Bytes bytes;
    std::uint8_t buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(file);
    return bytes;
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
        std::fclose(file) != 0) {
        fail("can't write " + path);
    }
}

// One attachment of the valid chain, with offsets counted from the chain's first byte.
struct Layout {
    AttachmentHeader header;
    std::size_t data_start;
    std::size_t header_start;
    std::size_t end;
    std::size_t fixed_start() const { return end - header_overhead; }
};

// The attachments of the chain in reading order (the one nearest the file's end first), read
// with the launcher's own header reader. The chain must be whole and end at the image.
std::vector<Layout> parse_chain(const char* packed_path, std::size_t image_size,
                                std::size_t packed_size) {
    std::FILE* file = std::fopen(packed_path, "rb");
    if (file == nullptr)
        fail(std::string("can't open ") + packed_path);
    std::vector<Layout> layouts;
    ChainReader reader{file, signature};
    auto end = static_cast<std::int64_t>(packed_size);
    for (;;) {
        const HeaderResult result = read_attachment_header(reader, end);
        if (result.status == HeaderStatus::end_of_chain)
            break;
        if (result.status == HeaderStatus::error)
            fail("the valid chain does not read: failure " +
                 std::to_string(static_cast<int>(result.failure)));
        const AttachmentHeader& header = result.header;
        const auto image = static_cast<std::int64_t>(image_size);
        layouts.push_back({header, static_cast<std::size_t>(header.data_start - image),
                           static_cast<std::size_t>(header.header_start - image),
                           static_cast<std::size_t>(header.end - image)});
        end = header.data_start;
    }
    std::fclose(file);
    if (layouts.empty() || end != static_cast<std::int64_t>(image_size))
        fail("the chain does not begin where the image ends");
    return layouts;
}

class Corpus {
public:
    Corpus(std::string directory, std::size_t image_size)
        : directory_(std::move(directory)), image_size_(image_size) {
        list_ = std::fopen((directory_ + "/cases.tsv").c_str(), "wb");
        if (list_ == nullptr)
            fail("can't write " + directory_ + "/cases.tsv");
    }
    ~Corpus() { std::fclose(list_); }

    // A case of the whole image followed by `tail`.
    void add(const Bytes& tail, const std::string& label, const char* exit = "-",
             const char* log = "-") {
        add_cut(image_size_, tail, label, exit, log);
    }

    void add_cut(std::size_t cut, const Bytes& tail, const std::string& label, const char* exit,
                 const char* log) {
        char id[16];
        std::snprintf(id, sizeof id, "%04zu", count_++);
        write_file(directory_ + "/" + id + ".tail", tail);
        std::fprintf(list_, "%s\t%zu\t%s\t%s\t%s\n", id, cut, exit, log, label.c_str());
    }

    std::size_t count() const { return count_; }

private:
    std::string directory_;
    std::size_t image_size_;
    std::FILE* list_;
    std::size_t count_ = 0;
};

std::string hex(std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%" PRIX64, value);
    return text;
}

struct FieldSpan {
    const char* name;
    std::size_t offset;  // from the first fixed byte
    std::size_t size;
};

constexpr FieldSpan fixed_field_spans[] = {
    {"name_length", 0, 2}, {"parameters_length", 2, 2}, {"data_size", 4, 8}, {"checksum", 12, 4},
    {"flags", 16, 1},      {"header_size", 17, 4},
};

std::string byte_label(std::size_t index) {
    for (const FieldSpan& span : fixed_field_spans) {
        if (index >= span.offset && index < span.offset + span.size)
            return std::string(span.name) + "[" + std::to_string(index - span.offset) + "]";
    }
    return "?";
}

// Every byte of every fixed field inverted, and its lowest bit flipped; every bit of the flags.
void add_flips(Corpus& corpus, const Bytes& chain, const std::vector<Layout>& layouts) {
    for (std::size_t a = 0; a < layouts.size(); ++a) {
        const std::string prefix = "flip a" + std::to_string(a + 1) + ".";
        for (std::size_t i = 0; i < fixed_fields_size; ++i) {
            std::vector<std::uint8_t> masks{0xFF, 0x01};
            if (i == 16) {  // the flags: each bit on its own
                for (std::uint8_t bit = 0x02; bit != 0; bit = static_cast<std::uint8_t>(bit << 1))
                    masks.push_back(bit);
            }
            for (const std::uint8_t mask : masks) {
                Bytes tail = chain;
                tail[layouts[a].fixed_start() + i] ^= mask;
                corpus.add(tail, prefix + byte_label(i) + "^" + hex(mask));
            }
        }
    }
}

// The chain with attachment `a`'s fixed fields replaced; with `fix_header_size`, header_size is
// recomputed so that the header check passes and the reader goes on with the changed value.
Bytes with_fields(const Bytes& chain, const Layout& layout, const FixedFields& fields,
                  bool fix_header_size) {
    FixedFields changed = fields;
    if (fix_header_size) {
        changed.header_size = computed_header_size(changed.name_length, changed.parameters_length,
                                                   (changed.flags & flag_has_lcid) != 0);
    }
    Bytes tail = chain;
    encode_fixed_fields(changed, tail.data() + layout.fixed_start());
    return tail;
}

// The two text lengths and data_size set to 0, 1, their maximum and the value that takes them
// just past the start: for the 64-bit data_size the file's start; the 16-bit lengths can't reach
// that far back over the image, so theirs is the chain's start. Each length both with the stored
// header_size, which the reader then refuses, and with a matching one, which lets the reader go
// on with the changed length. The LCID field, a value rather than a length, gets 0, 1 and its
// maximum.
void add_field_values(Corpus& corpus, const Bytes& chain, const std::vector<Layout>& layouts,
                      std::size_t image_size) {
    constexpr std::uint16_t u16_max = std::numeric_limits<std::uint16_t>::max();
    for (std::size_t a = 0; a < layouts.size(); ++a) {
        const Layout& layout = layouts[a];
        const FixedFields& fields = layout.header.fields;
        const std::string prefix = "set a" + std::to_string(a + 1) + ".";

        // Where each text begins with the stored lengths; a length of n units moves it to
        // (text end - 2n), and the first n that crosses the chain's start is just past it.
        const std::size_t parameters_end = layout.fixed_start();
        const std::size_t name_end = parameters_end - 2 * std::size_t{fields.parameters_length};
        const auto past_chain_start = [](std::size_t text_end) {
            const std::size_t units = text_end / 2 + 1;
            return static_cast<std::uint16_t>(units < u16_max ? units : u16_max);
        };
        struct Length {
            const char* field;
            std::uint16_t FixedFields::*member;
            std::size_t text_end;
        };
        const Length lengths[] = {
            {"name_length", &FixedFields::name_length, name_end},
            {"parameters_length", &FixedFields::parameters_length, parameters_end}};
        for (const Length& length : lengths) {
            const std::pair<std::uint16_t, const char*> values[] = {
                {0, "0"},
                {1, "1"},
                {u16_max, "max"},
                {past_chain_start(length.text_end), "past-chain-start"}};
            for (const auto& [value, value_label] : values) {
                FixedFields changed = fields;
                changed.*length.member = value;
                for (const bool fix : {false, true}) {
                    corpus.add(with_fields(chain, layout, changed, fix),
                               prefix + length.field + "=" + value_label +
                                   (fix ? " (header_size matching)" : ""));
                }
            }
        }

        const std::uint64_t header_start_in_file = image_size + layout.header_start;
        const std::pair<std::uint64_t, const char*> sizes[] = {
            {0, "0"},
            {1, "1"},
            {std::numeric_limits<std::uint64_t>::max(), "max"},
            {static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()), "int64-max"},
            {header_start_in_file, "file-start"},
            {header_start_in_file + 1, "past-file-start"}};
        for (const auto& [value, value_label] : sizes) {
            FixedFields changed = fields;
            changed.data_size = value;
            corpus.add(with_fields(chain, layout, changed, false),
                       prefix + "data_size=" + value_label);
        }

        if ((fields.flags & flag_has_lcid) != 0) {
            for (const std::uint16_t lcid : {std::uint16_t{0}, std::uint16_t{1}, u16_max}) {
                Bytes tail = chain;
                tail[layout.header_start] = static_cast<std::uint8_t>(lcid);
                tail[layout.header_start + 1] = static_cast<std::uint8_t>(lcid >> 8);
                corpus.add(tail, prefix + "lcid=" + hex(lcid));
            }
        }
    }
}

// The chain once more, written anew with every file name moved into "joined/": the same
// commands and data, nothing that collides with the first chain's files.
Bytes renamed_chain(const Bytes& chain, const std::vector<Layout>& layouts) {
    Bytes result;
    for (auto layout = layouts.rbegin(); layout != layouts.rend(); ++layout) {
        const AttachmentHeader& header = layout->header;
        AttachmentPlan plan{header.name,         header.parameters,       header.lcid,
                            header.fields.flags, header.fields.data_size, header.fields.checksum};
        if (is_extracted(header.fields))
            plan.name = u"joined/" + plan.name;
        result.insert(result.end(), chain.begin() + static_cast<std::ptrdiff_t>(layout->data_start),
                      chain.begin() + static_cast<std::ptrdiff_t>(layout->header_start));
        const Bytes encoded = encode_attachment_header(plan, signature);
        result.insert(result.end(), encoded.begin(), encoded.end());
    }
    return result;
}

// ---------------------------------------------------------------- chains made to order

struct ChainEntry {
    AttachmentPlan plan;
    Bytes data;
    std::int64_t header_size_delta = 0;
};

unsigned long parse_hex(const char* text) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (*text == '\0' || *end != '\0')
        fail(std::string("not a hexadecimal number: ") + text);
    return value;
}

// Reads the attachments of `chain` from argv[first..]: one ChainEntry per --file, --empty or
// --command, changed by the options that follow it.
std::vector<ChainEntry> parse_chain_arguments(int argc, char** argv, int first) {
    std::vector<ChainEntry> entries;
    const auto take = [&](int& i, int count) {
        if (i + count >= argc)
            fail(std::string(argv[i]) + " needs " + std::to_string(count) + " argument(s)");
        i += count;
        return argv + i - count + 1;
    };
    const auto last = [&](const char* option) -> ChainEntry& {
        if (entries.empty())
            fail(std::string(option) + " must follow an attachment");
        return entries.back();
    };
    for (int i = first; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--file") {
            char** values = take(i, 2);
            Bytes data = read_file(values[1]);
            const std::uint32_t sum = adler32(adler32_initial, data.data(), data.size());
            entries.push_back(
                {{from_utf8(values[0]), u"", 0, flag_is_file, data.size(), sum}, std::move(data)});
        } else if (option == "--empty") {
            entries.push_back({{from_utf8(take(i, 1)[0]), u"", 0, flag_is_file, 0, 1}, {}});
        } else if (option == "--command") {
            char** values = take(i, 3);
            const auto flags = static_cast<std::uint8_t>(parse_hex(values[0]));
            entries.push_back({{from_utf8(values[1]), from_utf8(values[2]), 0, flags, 0, 1}, {}});
        } else if (option == "--checksum") {
            last("--checksum").plan.checksum = static_cast<std::uint32_t>(parse_hex(take(i, 1)[0]));
        } else if (option == "--lcid") {
            ChainEntry& entry = last("--lcid");
            entry.plan.lcid = static_cast<std::uint16_t>(parse_hex(take(i, 1)[0]));
            entry.plan.flags |= flag_has_lcid;
        } else if (option == "--header-size-delta") {
            last("--header-size-delta").header_size_delta = std::atoll(take(i, 1)[0]);
        } else {
            fail("unknown argument " + option);
        }
    }
    return entries;
}

// The header of one entry as setup_packer would write it, then its header size moved by the
// entry's delta.
Bytes encode_entry_header(const ChainEntry& entry) {
    Bytes header = encode_attachment_header(entry.plan, signature);
    if (header.empty())
        fail("a text is longer than 65535 code units");
    if (entry.header_size_delta != 0) {
        std::uint8_t* fixed = header.data() + header.size() - header_overhead;
        FixedFields fields = decode_fixed_fields(fixed);
        fields.header_size =
            static_cast<std::int32_t>(fields.header_size + entry.header_size_delta);
        encode_fixed_fields(fields, fixed);
    }
    return header;
}

int write_chain(int argc, char** argv) {
    if (argc < 5)
        fail("usage: corpus_generator chain BASE OUTPUT ATTACHMENT...");
    const std::vector<ChainEntry> entries = parse_chain_arguments(argc, argv, 4);
    Bytes file = read_file(argv[2]);
    // Written in reverse: the first attachment given is read first, from the file's end.
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        file.insert(file.end(), entry->data.begin(), entry->data.end());
        const Bytes header = encode_entry_header(*entry);
        file.insert(file.end(), header.begin(), header.end());
    }
    write_file(argv[3], file);
    return 0;
}

// ---------------------------------------------------------------- the bad-input corpus

int write_corpus(int argc, char** argv) {
    if (argc != 4)
        fail("usage: corpus_generator IMAGE PACKED OUT_DIR");
    const Bytes image = read_file(argv[1]);
    const Bytes packed = read_file(argv[2]);
    if (packed.size() <= image.size() ||
        std::memcmp(packed.data(), image.data(), image.size()) != 0) {
        fail("PACKED is not IMAGE with a chain appended");
    }
    const std::vector<Layout> layouts = parse_chain(argv[2], image.size(), packed.size());
    const Bytes chain(packed.begin() + static_cast<std::ptrdiff_t>(image.size()), packed.end());

    Corpus corpus(argv[3], image.size());
    // The valid file first: it must run completely, both commands included.
    corpus.add(chain, "valid", "0", "common,de");

    // Truncated at every offset of the chain, and in the last bytes of the image, which are
    // not loaded (the section table of an ELF file).
    for (std::size_t length = 0; length < chain.size(); ++length) {
        corpus.add(Bytes(chain.begin(), chain.begin() + static_cast<std::ptrdiff_t>(length)),
                   "truncated to chain+" + std::to_string(length));
    }
    for (std::size_t cut = 1; cut <= 64; ++cut) {
        corpus.add_cut(image.size() - cut, {}, "truncated to image-" + std::to_string(cut), "0",
                       "none");
    }

    add_flips(corpus, chain, layouts);
    add_field_values(corpus, chain, layouts, image.size());

    // Two chains joined: the same chain twice writes every file twice, which must stop at the
    // second one; a second chain with other file names simply adds to the first.
    Bytes twice = chain;
    twice.insert(twice.end(), chain.begin(), chain.end());
    corpus.add(twice, "joined with itself", "1");
    Bytes joined = chain;
    const Bytes renamed = renamed_chain(chain, layouts);
    joined.insert(joined.end(), renamed.begin(), renamed.end());
    corpus.add(joined, "joined with a renamed copy", "0", "common,common,de,de");

    // Trailing data shorter than a signature: bytes of no meaning, the signature's first bytes
    // and its last bytes. The search must step over them to the real chain.
    for (std::size_t length = 1; length < signature_size; ++length) {
        Bytes junk = chain;
        junk.insert(junk.end(), length, 'x');
        corpus.add(junk, "trailing " + std::to_string(length) + " bytes", "0", "common,de");
        Bytes head = chain;
        head.insert(head.end(), signature.begin(),
                    signature.begin() + static_cast<std::ptrdiff_t>(length));
        corpus.add(head, "trailing signature's first " + std::to_string(length) + " bytes", "0",
                   "common,de");
        Bytes back = chain;
        back.insert(back.end(), signature.end() - static_cast<std::ptrdiff_t>(length),
                    signature.end());
        corpus.add(back, "trailing signature's last " + std::to_string(length) + " bytes", "0",
                   "common,de");
    }
    // A whole signature appended: its fixed fields are the bytes of the chain's last signature.
    Bytes extra = chain;
    extra.insert(extra.end(), signature.begin(), signature.end());
    corpus.add(extra, "a bare signature appended");

    std::printf("%zu cases\n", corpus.count());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "chain")
        return write_chain(argc, argv);
    return write_corpus(argc, argv);
}

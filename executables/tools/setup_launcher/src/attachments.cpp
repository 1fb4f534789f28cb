#include "attachments.h"

#include <cerrno>

#include "built_in_texts.h"
#include "error_report.h"
#include "platform.h"
#include "setup_launcher.h"

namespace {

// When the chain cannot be sized, the progress window is sized from the chain's end instead:
// roughly the file's length less the executable image.
constexpr std::int64_t image_size_estimate = 153600;
constexpr unsigned progress_linger_milliseconds = 250;

void report_header_error(const HeaderResult& result) {
    const std::u16string file_name = own_file_name();
    fatal_error_key(__FILE__, __LINE__, read_failure_key(result.failure), file_name.c_str(),
                    result.header.name.c_str());
}

void collect_command(const AttachmentHeader& header) {
    LaunchCommand command;
    command.program = header.name;
    command.parameters = header.parameters;
    command.run_in_extraction_dir = (header.fields.flags & flag_run_in_extraction_dir) ? 1 : 0;
    command.quiet = (header.fields.flags & flag_quiet) ? 1 : 0;
    if (header.fields.flags & flag_has_lcid) {
        command.lcid = header.lcid;
        localized_commands().push_back(command);
    } else {
        common_commands().push_back(command);
    }
}

// The error report shows errno whenever it is not 0, and calls that succeed may leave any value
// there. So each report site clears it before the call whose failure it reports, or right before
// a report that no call caused: the report carries a system error only when one belongs to it.

// File data moves in chunks of this size: one read, one write, one checksum update and one step
// of the progress window each.
constexpr std::uint64_t extraction_chunk_size = 10485760;

// Where the chunks of one file go, and the path that a failed write names.
struct Extraction {
    std::FILE* output;
    const std::u16string& output_path;
};

// Writes a chunk and advances the progress window; a window that the user closed abandons the
// run without a message.
bool write_chunk(void* context, const std::uint8_t* bytes, std::size_t size) {
    const Extraction& extraction = *static_cast<const Extraction*>(context);
    errno = 0;
    if (std::fwrite(bytes, 1, size, extraction.output) != size)
        FATAL_ERROR("error_writing", extraction.output_path.c_str());
    if (!report_progress(size)) {
        std::fclose(extraction.output);
        delete_extraction_dir();
        exit_process(0);
    }
    return true;
}

// Copies the data into `output` and returns its Adler-32.
std::uint32_t copy_data(ChainReader& chain, std::FILE* output, const AttachmentHeader& header,
                        const std::u16string& output_path) {
    Extraction extraction{output, output_path};
    const DataCopy copy = copy_attachment_data(chain, header.data_start, header.fields.data_size,
                                               extraction_chunk_size, write_chunk, &extraction);
    if (copy.failure == CopyFailure::memory)
        FATAL_ERROR("error_internal");
    if (copy.failure == CopyFailure::read)
        FATAL_ERROR("error_reading_file", own_file_name().c_str(), header.name.c_str());
    return copy.checksum;
}

void extract_file(ChainReader& chain, const AttachmentHeader& header) {
    // The file calls take no longer paths, and the length depends on where the extraction
    // directory lies, known only once it exists. When it was created just for this check it is
    // still empty, and goes again: a refused name leaves nothing behind.
    const std::u16string root = extraction_path(u"");
    if (!fits_path_limit(root, header.name)) {
        remove_private_directory();
        release_private_directory();
        errno = 0;
        FATAL_ERROR("error_invalid_file_name", own_file_name().c_str(), header.name.c_str());
    }
    const std::u16string output_path = extraction_path(header.name);
    // Created, never opened: whatever has the name already, a link included, stays as it is.
    const NewFile created = create_extracted_file(header.name);
    if (created.status == NewFileStatus::name_taken)
        FATAL_ERROR("error_file_exists", output_path.c_str());

    std::FILE* output = created.file;
    if (created.status != NewFileStatus::created)
        FATAL_ERROR("error_opening_for_write", header.name.c_str());
    // Each chunk goes out in one write: a buffer of the stream's own would only copy it.
    std::setvbuf(output, nullptr, _IONBF, 0);
    const std::uint32_t sum = copy_data(chain, output, header, output_path);
    // A failed close is a failed write, not success.
    errno = 0;
    if (std::fclose(output) != 0)
        FATAL_ERROR("error_writing", output_path.c_str());
    if (sum != header.fields.checksum) {
        errno = 0;
        FATAL_ERROR("error_corrupt_file", own_file_name().c_str(), header.name.c_str());
    }
}

// One step of the walk: collects the attachment's command and extracts its file.
bool take_attachment(void* chain, const AttachmentHeader& header) {
    if (header.fields.flags & flag_is_command)
        collect_command(header);
    if (is_extracted(header.fields))
        extract_file(*static_cast<ChainReader*>(chain), header);
    return true;
}

void run_commands(const std::vector<LaunchCommand>& commands, bool any_language,
                  std::uint16_t language) {
    for (const LaunchCommand& command : commands) {
        if (any_language || command.lcid == language) {
            run_command(command.program, command.parameters, command.run_in_extraction_dir != 0,
                        command.quiet != 0);
        }
    }
}

// The language whose bound commands run: none (0), the only one, or the user's choice.
std::uint16_t chosen_language() {
    for (const LaunchCommand& command : localized_commands())
        add_command_lcid(command.lcid);
    const std::vector<std::uint16_t>& languages = collected_lcids();
    if (languages.empty())
        return 0;
    if (languages.size() == 1)
        return languages.front();
    return choose_language();
}

}  // namespace

const char* read_failure_key(ReadFailure failure) {
    switch (failure) {
        case ReadFailure::signature_unreadable:
            return text_key("error_reading_signature");
        case ReadFailure::before_file_start:
            return text_key("error_reading");
        case ReadFailure::header_unreadable:
            return text_key("error_reading_header");
        case ReadFailure::header_size_mismatch:
        case ReadFailure::command_without_program:
            return text_key("error_corrupt_header");
        case ReadFailure::parameters_unreadable:
            return text_key("error_reading_parameters");
        case ReadFailure::name_unreadable:
            return text_key("error_reading_file_name");
        case ReadFailure::file_without_name:
            return text_key("error_file_without_name");
        case ReadFailure::lcid_unreadable:
            return text_key("error_reading_LCID");
        case ReadFailure::unsafe_file_name:
            return text_key("error_invalid_file_name");
        case ReadFailure::none:
            break;
    }
    return text_key("error_internal");
}

std::vector<LaunchCommand>& common_commands() {
    static std::vector<LaunchCommand> commands;
    return commands;
}

std::vector<LaunchCommand>& localized_commands() {
    static std::vector<LaunchCommand> commands;
    return commands;
}

void read_attachments(ChainReader& chain, std::int64_t chain_end) {
    const ChainWalk walk = walk_chain(chain, chain_end, take_attachment, &chain);
    if (walk.last.status == HeaderStatus::error)
        report_header_error(walk.last);
}

bool extract_chain(std::FILE* file, const Signature& signature, std::int64_t& chain_end) {
    ChainReader chain{file, signature};
    // In a signed file the search starts at the certificate table: what lies behind its start is
    // not covered by the signature, whatever it holds.
    const std::int64_t file_size = seek_file(file, 0, SEEK_END, false);
    chain_end = find_chain_end(file, signed_range_end(file, file_size), signature);
    // A failed search (0) is treated like no chain at all: nothing is read.
    const bool has_chain = chain_end > 0;
    std::int64_t total = 0;
    bool sized_by_estimate = false;
    if (has_chain) {
        total = total_data_size(chain, chain_end);
        if (total == -1) {
            total = chain_end - image_size_estimate;
            sized_by_estimate = true;
        }
    }

    // A chain that could not be sized still gets its window, even when the estimate comes out
    // as 0: without one, the first chunk's progress report would read as the user's cancel and
    // a damaged file would end silently with success.
    const bool show_progress = total != 0 || sized_by_estimate;
    if (show_progress)
        create_progress_window(static_cast<std::uint64_t>(total));
    if (has_chain)
        read_attachments(chain, chain_end);
    return show_progress;
}

void launch_file(const std::u16string& path) {
    const Signature signature = attachment_signature();
    std::FILE* file = open_file(path, "rb");  // stays open while the commands run
    if (file == nullptr)
        FATAL_ERROR("error_opening", path.c_str());
    // Everything is read through the chain reader's window: a buffer of the stream's own would
    // only split each read in three and copy it once more.
    std::setvbuf(file, nullptr, _IONBF, 0);

    std::int64_t chain_end = 0;
    if (extract_chain(file, signature, chain_end)) {
        sleep_milliseconds(progress_linger_milliseconds);
        close_progress_window();
    }

    run_commands(common_commands(), true, 0);
    const std::uint16_t language = chosen_language();
    if (language != 0)
        run_commands(localized_commands(), false, language);

    delete_extraction_dir();
    exit_process(0);
}

void launch() {
    launch_file(own_path());
}

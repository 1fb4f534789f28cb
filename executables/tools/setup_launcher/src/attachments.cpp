#include "attachments.h"

#include <algorithm>

#include "adler32.h"
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
    FATAL_ERROR(result.error_key, file_name.c_str(), result.header.name.c_str());
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

// Copies the data in chunks, one write and one checksum update each, and advances the progress
// window after every chunk. A chunk that fits the reader's window comes from there, with the
// headers and data around it; a larger one is read on its own. Returns the Adler-32 of the data.
std::uint32_t copy_data(ChainReader& chain, std::FILE* output, const AttachmentHeader& header,
                        const std::u16string& output_path) {
    if (!reserve_chain_window(chain, static_cast<std::size_t>(std::min(header.fields.data_size,
                                                                       extraction_chunk_size)))) {
        FATAL_ERROR("error_internal");
    }
    std::uint32_t sum = adler32_initial;
    std::int64_t position = header.data_start;
    for (std::uint64_t remaining = header.fields.data_size; remaining > 0;) {
        const auto chunk = static_cast<std::size_t>(std::min(remaining, extraction_chunk_size));
        const std::uint8_t* bytes = read_chain_bytes(chain, position, chunk);
        if (bytes == nullptr)
            FATAL_ERROR("error_reading_file", own_file_name().c_str(), header.name.c_str());
        if (std::fwrite(bytes, 1, chunk, output) != chunk)
            FATAL_ERROR("error_writing", output_path.c_str());
        sum = adler32(sum, bytes, chunk);
        position += static_cast<std::int64_t>(chunk);
        remaining -= chunk;
        if (!report_progress(chunk)) {
            // The user closed the progress window: abandon the run without a message.
            std::fclose(output);
            delete_extraction_dir();
            exit_process(0);
        }
    }
    return sum;
}

void extract_file(ChainReader& chain, const AttachmentHeader& header) {
    // The file calls take no longer paths, and the length depends on where the extraction
    // directory lies, known only once it exists. When it was created just for this check it is
    // still empty, and goes again: a refused name leaves nothing behind.
    const std::u16string root = extraction_path(u"");
    if (!fits_path_limit(root, header.name)) {
        remove_private_directory();
        release_private_directory();
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
    if (std::fclose(output) != 0)
        FATAL_ERROR("error_writing", output_path.c_str());
    if (sum != header.fields.checksum) {
        FATAL_ERROR("error_corrupt_file", own_file_name().c_str(), header.name.c_str());
    }
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

std::vector<LaunchCommand>& common_commands() {
    static std::vector<LaunchCommand> commands;
    return commands;
}

std::vector<LaunchCommand>& localized_commands() {
    static std::vector<LaunchCommand> commands;
    return commands;
}

std::int64_t read_attachment(ChainReader& chain, std::int64_t end) {
    const HeaderResult result = read_attachment_header(chain, end);
    if (result.status == HeaderStatus::end_of_chain)
        return -1;
    if (result.status == HeaderStatus::error)
        report_header_error(result);

    const AttachmentHeader& header = result.header;
    if (header.fields.flags & flag_is_command)
        collect_command(header);
    if (is_extracted(header.fields))
        extract_file(chain, header);
    return header.data_start;
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
    for (std::int64_t end = has_chain ? chain_end : -1; end >= 0;)
        end = read_attachment(chain, end);
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

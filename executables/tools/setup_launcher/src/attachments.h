// The launch sequence and the reading of the attachment chain from the launcher's own file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "file_helpers.h"
#include "setup_payload/chain_reader.h"

// Commands collected from the chain, in reading order (nearest the file's end first).
std::vector<LaunchCommand>& common_commands();     // for every language
std::vector<LaunchCommand>& localized_commands();  // bound to a language

// The string-table key that words a read failure; every key takes the launcher file's name as its
// first argument, "error_invalid_file_name" the attachment's name as its second.
const char* read_failure_key(ReadFailure failure);

// Reads the chain that ends at `chain_end` (nothing for one below 12), attachment by attachment
// from the file's end: extracts each file into the extraction directory (verified by its Adler-32,
// under the progress window) and collects each command. Every failure is reported; a progress
// window closed by the user ends the process with code 0.
void read_attachments(ChainReader& chain, std::int64_t chain_end);

// The launch sequence up to the end of the extraction: finds the chain's end inside the signed
// range (stored in `chain_end`; 0 or -1 when there is none), sizes the progress window and reads
// every attachment. True when a progress window was created; the caller closes it.
bool extract_chain(std::FILE* file, const Signature& signature, std::int64_t& chain_end);

// Runs the launcher file at `path` from its chain's end to the process's exit: extract, run the
// commands for every language, ask for the language where needed, run its commands, clean up.
[[noreturn]] void launch_file(const std::u16string& path);

// launch_file for the running executable itself.
[[noreturn]] void launch();

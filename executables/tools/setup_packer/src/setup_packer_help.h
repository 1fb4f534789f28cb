// The texts of setup_packer's --help below the options of each command.
#pragma once

#include <string>

// build: the order of attachments, the name rules, --lcid, the manifest format and branding.
std::string build_help();
// list, verify and extract: what they print, when they fail, and their JSON documents.
extern const char* const list_help;
extern const char* const verify_help;
extern const char* const extract_help;

// The launcher's windows: the progress window shown during extraction and the language choice.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// ---- Progress window ----

// Shows the progress window (once; a second call keeps the window) and resets its range, its
// position and both byte counters to the new total.
void create_progress_window(std::uint64_t bytes_total);
// Adds a written chunk, moves the bar and processes the pending window messages. False once the
// window is gone (closed by the user, or never created).
bool report_progress(std::uint64_t chunk_size);
// Processes what waits in the thread's message queue without ever waiting.
void process_pending_messages();
// Destroys the progress window, if any, without going through its close handling.
void close_progress_window();

// The bar position for a byte count: ceil(done / (total / 65535.0)) in double precision,
// limited to 65535.
std::uint32_t progress_position(std::uint64_t bytes_done, std::uint64_t bytes_total);

// ---- Language choice ----

// Keeps a command's language once; a new one goes in front of those already kept.
void add_command_lcid(std::uint16_t lcid);
// The distinct languages, newest first.
const std::vector<std::uint16_t>& collected_lcids();
// How many collected languages share the low 9 bits of `lcid`.
std::size_t language_group_size(std::uint16_t lcid);
// The language's native name, with its native country name in parentheses when another
// collected language shares its group.
std::u16string language_display_name(std::uint16_t lcid);
// language_display_name of every collected language, in collected order.
std::vector<std::u16string> language_display_names();
// Shows the language dialog; the chosen language, or 0 when the user cancelled or closed it.
// A dialog that cannot be shown is reported as "error_internal".
std::uint16_t choose_language();

// ---- Process-wide state, kept by this unit ----

// The byte counters behind the progress bar: the total the window was sized for, and the bytes
// reported since.
struct ProgressCounters {
    std::uint64_t total = 0;
    std::uint64_t done = 0;
};
extern ProgressCounters progress_counters;

// The languages of the payload's commands, collected once per process.
struct CollectedLanguages {
    // The distinct languages in the order they arrived, and which ones are among them (one bit
    // per 16-bit value, allocated with the first language): one step per command however many
    // languages a payload carries.
    std::vector<std::uint16_t> arrivals;
    std::unique_ptr<std::uint32_t[]> collected;
    // The same languages newest first, as they are shown; rebuilt from `arrivals` when asked for
    // after new ones arrived (inserting each in front would cost a step per language kept).
    std::vector<std::uint16_t> newest_first;
    // How many collected languages share each group key (the low 9 bits), allocated with the
    // first.
    std::unique_ptr<std::uint32_t[]> language_groups;
    // The names the dialog's list was filled with, parallel to collected_lcids().
    std::vector<std::u16string> listed_names;
};
extern CollectedLanguages collected_languages;

// ---- Pieces shared by the Windows dialogs and the POSIX stand-ins ----

// Restarts both byte counters for a new total.
void reset_progress_counters(std::uint64_t bytes_total);
// Adds a written chunk to the byte count and returns the bar position for the new count.
std::uint32_t add_progress_bytes(std::uint64_t chunk_size);

// The system's native name of a language (LOCALE_SNATIVELANGNAME) and of its country
// (LOCALE_SNATIVECTRYNAME). False when the system has none, or none that fits 79 code units.
// Implemented per platform; the POSIX side knows a few common languages only.
bool native_language_name(std::uint16_t lcid, std::u16string& name);
bool native_country_name(std::uint16_t lcid, std::u16string& name);

// Builds the display names of all collected languages for the dialog's list and keeps them. An item
// is tied to its language by the text it was listed with, so it still resolves after the dialog
// switched the string table (a language without a system name reads differently in each table).
const std::vector<std::u16string>& list_language_names();
// The first collected language listed under exactly this text; 0 when none is (or nothing was
// listed yet).
std::uint16_t listed_language(std::u16string_view item_text);

// The language choice on a text terminal: numbers the listed names on `out`, reads the answer from
// `in`. An empty line takes the language that fits the user's interface language, "0" or "q" (or
// the end of input) cancels with 0. A chosen language with a built-in table makes it current.
std::uint16_t ask_language(std::FILE* in, std::FILE* out);

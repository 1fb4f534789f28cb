// What the tests see of the launcher's windows beyond the launcher's own use: the progress
// window's state and counters, and a fresh start for the collected languages, which the launcher
// collects once per process.
#pragma once

#include <cstdint>

#include "setup_launcher.h"

// True while the progress window exists.
bool progress_window_shown();

// How many chunks, and how many bytes, were reported since the counters were last reset.
std::uint32_t progress_report_count();
std::uint64_t progress_bytes_done();

// Forgets the collected languages.
void reset_collected_lcids();

// What the tests see of the file helpers beyond the launcher's own use.
#pragma once

#include "file_helpers.h"

// Forgets the extraction directory, so that the next extraction_path creates a new one. The
// launcher creates it once per process; tests need a fresh one each.
void reset_extraction_root_for_tests();

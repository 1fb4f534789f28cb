// Windows error codes in terms of the C runtime's errno, for the reports and messages that show
// an errno line. Windows builds only.
#pragma once

// The errno value closest to a Windows error code (GetLastError); EIO for any other.
int errno_for_system_error(unsigned long error);

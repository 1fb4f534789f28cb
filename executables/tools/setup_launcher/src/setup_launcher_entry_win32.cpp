#include <windows.h>

#include "string_table.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    init_string_table();
    return 0;
}

#include "string_table.h"

int main() {
    init_string_table();
    return 0;
}

#include "xml/selection_document.h"

// Placeholder until the selection reader lands: an empty selection.
int read_selection_document(const char*, drive_table& table) {
    clear_table(table);
    return 0;
}

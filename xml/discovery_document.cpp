#include "xml/discovery_document.h"

// Placeholder until the document writer lands: reports no failure.
int write_discovery_document(const char*, const drive_table&) { return 0; }

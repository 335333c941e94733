// Xerces-C 3.2 itself loses a few bytes when it reads a DOCTYPE's external
// subset (also with a plain parser and a real DTD file); the leak checker of
// the sanitizer build is told about that one place only.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() { return "leak:xercesc_3_2::XMLScanner::scanProlog\n"; }
#endif

// Every run-level refusal is told the same way in three places, so that a
// deployment tool reading any one of them learns why nothing was done.
#include <cstdio>
#include <string>

#include "app/run_driver.h"
#include "log/setup_log.h"

void refuse_run(run_facts& facts, const std::string& line) {
    // Lines worded elsewhere for standard error may carry the program's name
    // already; the cause itself is the same words without it.
    const std::string prefix = "kvtapefw: ";
    const std::string cause = line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line;
    append_setup_log((cause + "\n").c_str());
    std::fprintf(stderr, "kvtapefw: %s\n", cause.c_str());
    if (facts.refusal.empty()) facts.refusal = cause;
}

// Every run-level refusal is told the same way in three places, so that a
// deployment tool reading any one of them learns why nothing was done.
#include <cstdio>
#include <string>

#include "app/run_driver.h"
#include "log/setup_log.h"

void refuse_run(run_facts& facts, const std::string& cause) {
    append_setup_log((cause + "\n").c_str());
    std::fprintf(stderr, "kvtapefw: %s\n", cause.c_str());
    if (facts.refusal.empty()) facts.refusal = cause;
}

// The files a run reads or writes besides its report: the report must never
// be written over one of them.
#pragma once

#include <string>

struct run_facts;  // app/run_driver.h

// What the report's path is of the run's own files, compared by the file
// they lead to, not by spelling ("selection document", "firmware image
// fwimage/A4.BIN", ...); empty when it is none of them. Only files that
// exist when the run starts are compared; the catalogue is read here for
// its image names only (the mode reads it again where it reads it).
std::string report_clash(const std::string& report_path, const run_facts& facts, const std::string& bus_path);

// Columns of text for a person at a console (--list, --history): each as
// wide as its widest cell, two spaces apart, a rule under the heading.
#pragma once

#include <string>
#include <vector>

// rows[0] is the heading. Cells are printed as given: escape what came from
// a drive or a file first.
void print_text_table(const std::vector<std::vector<std::string>>& rows);

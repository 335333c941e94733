#include "app/text_table.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string joined(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        line += cells[i];
        // No trailing blanks: the last column is not padded.
        if (i + 1 < cells.size()) line += std::string(widths[i] - cells[i].size() + 2, ' ');
    }
    return line;
}

}  // namespace

void print_text_table(const std::vector<std::vector<std::string>>& rows) {
    if (rows.empty()) return;
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::vector<std::string> rule;
    for (std::size_t i = 0; i < rows[0].size(); ++i) rule.emplace_back(widths[i], '-');
    std::printf("%s\n%s\n", joined(rows[0], widths).c_str(), joined(rule, widths).c_str());
    for (std::size_t r = 1; r < rows.size(); ++r) std::printf("%s\n", joined(rows[r], widths).c_str());
}

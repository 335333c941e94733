#include "sim/fault_rules.h"

#include <algorithm>

namespace {
bool starts_with(const sim_cdb& cdb, const std::vector<std::uint8_t>& prefix) {
    return prefix.size() <= cdb.length && std::equal(prefix.begin(), prefix.end(), cdb.bytes.begin());
}
}  // namespace

fault_matcher::fault_matcher(std::vector<sim_fault_rule> rules)
    : rules_(std::move(rules)), matched_(rules_.size(), 0) {}

const sim_fault_rule* fault_matcher::match(const sim_cdb& cdb) {
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        const sim_fault_rule& rule = rules_[i];
        if (!starts_with(cdb, rule.cdb_prefix)) continue;
        const std::int64_t seen = matched_[i]++;
        if (seen < rule.skip) return nullptr;
        if (rule.count && seen >= rule.skip + *rule.count) return nullptr;
        return &rule;
    }
    return nullptr;
}

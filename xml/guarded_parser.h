// A DOM parser for documents that come from outside the program. Such a file
// must never make the parser read another local file or reach the network,
// nor expand entities without bound: a DOCTYPE's external subset is skipped
// without being opened, any other external entity ends the parse, and the
// number of entity expansions is limited.
#pragma once

#include <stdexcept>
#include <string>

#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>

// Raised out of the parse when the document names an external entity.
struct external_entity_refused : std::runtime_error {
    external_entity_refused() : std::runtime_error("external entity refused") {}
};

// The parser is its own entity resolver: only with a resolver installed does
// the scanner ask before it opens anything, and one override of
// resolveEntity answers for both.
class guarded_dom_parser : public xercesc::XercesDOMParser, private xercesc::XMLEntityResolver {
public:
    guarded_dom_parser();

    void doctypeDecl(const xercesc::DTDElementDecl& root, const XMLCh* public_id, const XMLCh* system_id,
                     bool has_internal_subset, bool has_external_subset) override;
    xercesc::InputSource* resolveEntity(xercesc::XMLResourceIdentifier* resource) override;

private:
    xercesc::SecurityManager limits_;
    // The external subset named by the DOCTYPE, until it has been skipped.
    bool external_subset_pending_ = false;
    std::basic_string<XMLCh> subset_system_id_;
};

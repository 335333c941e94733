#include "xml/guarded_parser.h"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>

using namespace xercesc;

namespace {
// No ordinary selection document declares an entity of its own; the limit
// only has to stop a document that multiplies them. The predefined entities
// (&amp; and the like) and character references do not count.
constexpr XMLSize_t entity_expansion_limit = 1000;
const XMLByte empty_subset[] = {0};
}  // namespace

guarded_dom_parser::guarded_dom_parser() {
    limits_.setEntityExpansionLimit(entity_expansion_limit);
    setSecurityManager(&limits_);
    setXMLEntityResolver(this);
    // Should an answer ever be empty, the library must not go and fetch the
    // resource itself.
    setDisableDefaultEntityResolution(true);
    setDoSchema(false);
    setLoadSchema(false);
    setCreateEntityReferenceNodes(false);
}

void guarded_dom_parser::doctypeDecl(const DTDElementDecl& root, const XMLCh* public_id, const XMLCh* system_id,
                                     bool has_internal_subset, bool has_external_subset) {
    XercesDOMParser::doctypeDecl(root, public_id, system_id, has_internal_subset, has_external_subset);
    external_subset_pending_ = has_external_subset && system_id;
    subset_system_id_.clear();
    if (system_id) subset_system_id_ = system_id;
}

InputSource* guarded_dom_parser::resolveEntity(XMLResourceIdentifier* resource) {
    const XMLCh* system_id = resource ? resource->getSystemId() : nullptr;
    if (external_subset_pending_ && system_id && subset_system_id_ == system_id) {
        // The document is read without its grammar (validity errors are not
        // reported), so the subset is taken as empty instead of being opened.
        external_subset_pending_ = false;
        return new MemBufInputSource(empty_subset, 0, "external subset");
    }
    throw external_entity_refused();
}

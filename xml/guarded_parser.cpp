#include "xml/guarded_parser.h"

#include <new>

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLResourceIdentifier.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>

using namespace xercesc;

namespace {
// A selection document of 23 drives is some 10 KB, five elements deep, has
// one attribute per element and declares no entity; every bound leaves ample
// room above that.
//
// The predefined entities (&amp; and the like) and character references do
// not count as expansions. Each expansion, nested ones included, adds at most
// one entity's own text, so the two bounds together keep what entities can
// add to the elements of a document to about a million characters, whatever
// their nesting. Inside the DOCTYPE (parameter entities, attribute defaults)
// the library counts no expansions; there the memory ceiling below holds.
constexpr XMLSize_t entity_expansion_limit = 1000;
constexpr XMLSize_t longest_entity_text = 1024;
// The scanner's work for each element grows with the depth it stands at, and
// the library enters every attribute with a search through those before it.
constexpr std::size_t deepest_element = 64;
constexpr XMLSize_t most_attributes = 64;
// The parse and the tree it builds, for anything the bounds above miss. An
// ordinary document needs well under a megabyte.
constexpr std::size_t parse_memory_ceiling = 16 * 1024 * 1024;

const XMLByte empty_subset[] = {0};
}  // namespace

bounded_memory::bounded_memory() : ceiling_(parse_memory_ceiling) {}

struct bounded_memory::block_head {
    // Blocks are handed out right after their head, as aligned as the
    // library's own blocks from operator new.
    alignas(__STDCPP_DEFAULT_NEW_ALIGNMENT__) block_head* previous;
    block_head* next;
    std::size_t size;
};

bounded_memory::~bounded_memory() {
    while (blocks_) {
        block_head* next = blocks_->next;
        ::operator delete(blocks_);
        blocks_ = next;
    }
}

// The library builds its exceptions with this one; it must work when the
// ceiling has been reached.
MemoryManager* bounded_memory::getExceptionMemoryManager() { return XMLPlatformUtils::fgMemoryManager; }

// The library asks for many small blocks, so each block's head counts too.
void* bounded_memory::allocate(XMLSize_t size) {
    if (size >= ceiling_ || sizeof(block_head) + size > ceiling_ - in_use_) throw OutOfMemoryException();
    const std::size_t taken = sizeof(block_head) + size;
    void* raw = ::operator new(taken, std::nothrow);
    if (!raw) throw OutOfMemoryException();
    auto* head = new (raw) block_head{nullptr, blocks_, taken};
    if (blocks_) blocks_->previous = head;
    blocks_ = head;
    in_use_ += taken;
    return head + 1;
}

void bounded_memory::deallocate(void* block) {
    if (!block) return;
    block_head* head = static_cast<block_head*>(block) - 1;
    if (head->previous) head->previous->next = head->next;
    else blocks_ = head->next;
    if (head->next) head->next->previous = head->previous;
    in_use_ -= head->size;
    ::operator delete(head);
}

guarded_dom_parser::guarded_dom_parser(bounded_memory& memory) : XercesDOMParser(nullptr, &memory) {
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
    throw document_refused("external entity");
}

// Parameter entities are held to the same length.
void guarded_dom_parser::entityDecl(const DTDEntityDecl& entity, bool is_parameter, bool is_ignored) {
    if (entity.getValueLen() > longest_entity_text) throw document_refused("entity text too long");
    XercesDOMParser::entityDecl(entity, is_parameter, is_ignored);
}

void guarded_dom_parser::startElement(const XMLElementDecl& element, unsigned int uri_id, const XMLCh* prefix,
                                      const RefVectorOf<XMLAttr>& attributes, XMLSize_t attribute_count,
                                      bool is_empty, bool is_root) {
    if (depth_ == deepest_element) throw document_refused("elements nested too deep");
    if (attribute_count > most_attributes) throw document_refused("too many attributes");
    // Counted for every element: the library ends an empty one at once, by
    // calling endElement itself.
    ++depth_;
    XercesDOMParser::startElement(element, uri_id, prefix, attributes, attribute_count, is_empty, is_root);
}

void guarded_dom_parser::endElement(const XMLElementDecl& element, unsigned int uri_id, bool is_root,
                                    const XMLCh* prefix) {
    --depth_;
    XercesDOMParser::endElement(element, uri_id, is_root, prefix);
}

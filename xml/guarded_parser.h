// A DOM parser for documents that come from outside the program. Such a file
// must never make the parser read another local file or reach the network,
// nor take time or memory without bound: a DOCTYPE's external subset is
// skipped without being opened, any other external entity ends the parse,
// and entities, nesting, attributes and the parse's memory are all bounded.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>

// Raised out of the parse when the document goes beyond what it may do.
struct document_refused : std::runtime_error {
    explicit document_refused(const char* why) : std::runtime_error(why) {}
};

// Memory of one parse, with a ceiling: past it the library gets its own
// out-of-memory exception, so no document can make a parse take gigabytes.
// Blocks the library still holds when this is destroyed (it may leave some
// behind after that exception) are given back then. It has to outlive the
// parser and the exception a parse ends with, which may hold some of it.
class bounded_memory : public xercesc::MemoryManager {
public:
    bounded_memory();
    ~bounded_memory() override;
    bounded_memory(const bounded_memory&) = delete;
    bounded_memory& operator=(const bounded_memory&) = delete;

    xercesc::MemoryManager* getExceptionMemoryManager() override;
    void* allocate(XMLSize_t size) override;
    void deallocate(void* block) override;

private:
    struct block_head;
    block_head* blocks_ = nullptr;
    std::size_t ceiling_;
    std::size_t in_use_ = 0;
};

// The parser is its own entity resolver: only with a resolver installed does
// the scanner ask before it opens anything, and one override of
// resolveEntity answers for both.
class guarded_dom_parser : public xercesc::XercesDOMParser, private xercesc::XMLEntityResolver {
public:
    explicit guarded_dom_parser(bounded_memory& memory);

    void doctypeDecl(const xercesc::DTDElementDecl& root, const XMLCh* public_id, const XMLCh* system_id,
                     bool has_internal_subset, bool has_external_subset) override;
    xercesc::InputSource* resolveEntity(xercesc::XMLResourceIdentifier* resource) override;
    void entityDecl(const xercesc::DTDEntityDecl& entity, bool is_parameter, bool is_ignored) override;
    void startElement(const xercesc::XMLElementDecl& element, unsigned int uri_id, const XMLCh* prefix,
                      const xercesc::RefVectorOf<xercesc::XMLAttr>& attributes, XMLSize_t attribute_count,
                      bool is_empty, bool is_root) override;
    void endElement(const xercesc::XMLElementDecl& element, unsigned int uri_id, bool is_root,
                    const XMLCh* prefix) override;

private:
    xercesc::SecurityManager limits_;
    // The external subset named by the DOCTYPE, until it has been skipped.
    bool external_subset_pending_ = false;
    std::basic_string<XMLCh> subset_system_id_;
    std::size_t depth_ = 0;  // elements open around the scanner's position
};

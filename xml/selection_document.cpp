#include "xml/selection_document.h"

#include <optional>
#include <string>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/sax/SAXParseException.hpp>

#include "platform/number_text.h"
#include "inventory/text_field.h"
#include "log/setup_log.h"
#include "platform/platform.h"
#include "platform/whole_file.h"
#include "xml/guarded_parser.h"
#include "xml/xerces_support.h"

using namespace xercesc;

namespace {

constexpr int failed = 1;

// A selection document of 23 drives is some 10 KB; a file a hundred times
// that size is not one, and is refused before the parser sees any of it.
constexpr std::size_t largest_document = 1024 * 1024;

// The `value` of the first element of that name at any depth below scope,
// in document order; false when there is no such element. A missing
// attribute reads as empty text.
// The list is not counted: counting walks every element below the scope.
const DOMElement* first_below(const DOMElement& scope, const char* name) {
    const DOMNodeList* found = scope.getElementsByTagName(xml_text(name).get());
    return found ? static_cast<const DOMElement*>(found->item(0)) : nullptr;
}

bool value_below(const DOMElement& scope, const char* name, std::string& value) {
    const DOMElement* element = first_below(scope, name);
    if (!element) return false;
    value = narrow_text(element->getAttribute(xml_text("value").get()));
    return true;
}

// A text value has to fit its field whole: a cut product or action would no
// longer say what the document says.
template <std::size_t N>
bool read_text(const DOMElement& scope, const char* name, text_field<N>& field) {
    std::string value;
    return value_below(scope, name, value) && copy_text(field, value);
}

template <typename Convert>
bool read_number(const DOMElement& scope, const char* name, Convert convert) {
    std::string value;
    if (!value_below(scope, name, value)) return false;
    convert(value.c_str());
    return true;
}

// The address of a device is where its image goes: a value that is not a
// plain decimal number ("0x01", "one", empty) would read as some other
// device, so it refuses the whole document, and `refusal` says why.
bool read_address(const DOMElement& device, const char* name, std::uint32_t& field, std::string& refusal) {
    std::string value;
    if (!value_below(device, name, value)) return false;
    if (read_plain_decimal32(value.c_str(), field)) return true;
    refusal = std::string(name) + " value \"" + escaped_text(value) + "\" is not a plain decimal number";
    return false;
}

// The serial number is there only for a drive that has one, and only in
// documents written since it was: without it the entry is read as always.
// One too long for its field is no serial number of a drive.
bool read_serial(const DOMElement& device, drive_record& record) {
    if (first_below(device, "serial") == nullptr) return true;
    if (!read_text(device, "serial", record.serial)) return false;
    trim_spaces(record.serial.data());
    return true;
}

bool read_device_part(const DOMElement& device, drive_record& record, std::string& refusal) {
    return read_number(device, "device_id", [&](const char* v) { record.drive_id = parse_hex32(v); }) &&
           read_text(device, "product_id", record.product_id) &&
           read_address(device, "busnumber", record.device.address, refusal) &&
           read_address(device, "devicenumber", record.device.card, refusal) &&
           read_address(device, "funcnumber", record.device.lun, refusal) && read_serial(device, record);
}

bool read_fw_item_part(const DOMElement& item, drive_record& record) {
    std::string ignored;
    return read_text(item, "type", record.fw_item_type) && read_text(item, "firmware_id", record.firmware_id) &&
           read_number(item, "version", [&](const char* v) { record.target_version = parse_double(v); }) &&
           read_number(item, "active_version", [&](const char* v) { record.fw_version = parse_double(v); }) &&
           read_text(item, "action", record.action) &&
           read_number(item, "duration", [&](const char* v) { record.duration = parse_decimal32(v); }) &&
           value_below(item, "message", ignored) && value_below(item, "shared", ignored);
}

// All fourteen elements must be there (a fifteenth, the serial number, may
// be); the record is in use only when they are.
bool read_device(const DOMElement& device, drive_record& record, std::string& refusal) {
    if (!read_device_part(device, record, refusal)) return false;
    const DOMElement* item = first_below(device, "fw_item");
    if (!item || !read_fw_item_part(*item, record)) return false;
    record.in_use = 1;
    return true;
}

bool is_element_named(const DOMNode* node, const XMLCh* name) {
    return node->getNodeType() == DOMNode::ELEMENT_NODE &&
           XMLString::equals(static_cast<const DOMElement*>(node)->getTagName(), name);
}

// Children are walked from sibling to sibling: the library's child list
// counts from the first child for every item asked of it.
//
// Every element child of a `devices` element is one device, whatever its
// name. A document with more devices than the table has slots is refused
// rather than read in part.
bool read_devices(const DOMElement& devices, drive_table& table, std::size_t& count, std::string& refusal) {
    for (const DOMNode* child = devices.getFirstChild(); child; child = child->getNextSibling()) {
        if (child->getNodeType() != DOMNode::ELEMENT_NODE) continue;
        if (count == table.size()) return false;
        if (!read_device(*static_cast<const DOMElement*>(child), table[count], refusal)) return false;
        ++count;
    }
    return true;
}

// Two entries for one card, address and lun: the second would hide how the
// first went (its verification, a failed flash). Such a document was not
// made by discovery and is refused whole.
bool addresses_unique(const drive_table& table, std::size_t count, std::string& refusal) {
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const scsi_device& a = table[i].device;
            const scsi_device& b = table[j].device;
            if (a.card != b.card || a.address != b.address || a.lun != b.lun) continue;
            refusal = "two devices at card " + std::to_string(a.card) + ", address " + std::to_string(a.address) +
                      ", lun " + std::to_string(a.lun);
            return false;
        }
    }
    return true;
}

bool read_root(const DOMElement& root, drive_table& table, std::string& refusal) {
    const xml_text devices_name("devices");
    std::size_t count = 0;
    for (const DOMNode* child = root.getFirstChild(); child; child = child->getNextSibling()) {
        if (!is_element_named(child, devices_name.get())) continue;
        if (!read_devices(*static_cast<const DOMElement*>(child), table, count, refusal)) return false;
    }
    return addresses_unique(table, count, refusal);
}

// A document that was read but refused is not read at all: nothing of it
// may be flashed, and the one line says why.
int refuse(const char* path, const std::string& refusal, drive_table& table, std::string* why) {
    clear_table(table);
    if (why) {
        *why = std::string("Selection document ") + path + " refused: " + refusal;
        return failed;
    }
    report_error("Selection document %s refused: %s\n", path, refusal.c_str());
    return failed;
}

// A document that could not be read to its end: the cause is kept for the
// caller, and the table keeps what was read before it (as the run's table
// section shows it).
int not_read(const char* path, const std::string& cause, drive_table&, std::string* why) {
    if (why) *why = std::string("Selection document ") + path + " " + cause;
    return failed;
}

std::string unreadable_cause(const char* path) {
    if (!path_exists(path)) return "is missing";
    if (!is_regular_file(path)) return "is not a regular file";
    return "cannot be read, or holds more than 1 MiB";
}

}  // namespace

int read_selection_document(const char* path, drive_table& table, std::string* why) {
    clear_table(table);
    // Only a file is a document: the parser would also take a URL and fetch
    // it, or block on a pipe or device. It is read here, within its bound,
    // and the parser reads the copy.
    std::string content;
    if (!read_whole_file(path, largest_document, content)) return not_read(path, unreadable_cause(path), table, why);
    std::optional<xerces_session> session;
    try {
        session.emplace();
    } catch (const XMLException&) {
        return not_read(path, "could not be read: the XML library could not be started", table, why);
    }
    // Warnings and validity errors are ignored (the document needs no
    // grammar); a fatal error is raised out of the parse.
    HandlerBase error_handler;
    bounded_memory memory;
    std::string refusal;
    try {
        guarded_dom_parser parser(memory);
        parser.setValidationScheme(XercesDOMParser::Val_Always);
        parser.setDoNamespaces(true);
        parser.setErrorHandler(&error_handler);
        MemBufInputSource source(reinterpret_cast<const XMLByte*>(content.data()), content.size(), path);
        parser.parse(source);
        const DOMDocument* document = parser.getDocument();
        const DOMElement* root = document ? document->getDocumentElement() : nullptr;
        if (!root) return not_read(path, "is not XML: it holds no element", table, why);
        if (!read_root(*root, table, refusal)) {
            if (!refusal.empty()) return refuse(path, refusal, table, why);
            return not_read(path,
                            "is not a discovery document: a device lacks one of its values, or it names more than " +
                                std::to_string(table.size()) + " devices",
                            table, why);
        }
        return 0;
    } catch (const SAXParseException& error) {
        return not_read(path,
                        "is not XML: " + escaped_text(narrow_text(error.getMessage())) + " (line " +
                            std::to_string(error.getLineNumber()) + ")",
                        table, why);
    } catch (...) {
        return not_read(path, "could not be read as XML", table, why);
    }
}
